# The decoder's own tests run with AddressSanitizer and UBSan on its source, so that any access
# outside a block or an output buffer fails the test.
zanto_add_gtest(decoder_tests
    SOURCES
        ZfedDecoderTest.cpp
        ZfedDecoderReferenceTest.cpp
        ${PROJECT_SOURCE_DIR}/package/ZfedDecoder.cpp
    LIBRARIES ZLIB::ZLIB)
zanto_sanitize(decoder_tests)
