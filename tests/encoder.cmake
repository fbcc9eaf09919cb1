# zFED encoder tests.

# Round trips through zlib's raw inflate, the shape of every emitted block (dynamic, three complete
# codes) and the compressed size against zlib's level 6.
zanto_add_gtest(zfed_encoder_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ZfedEncoderTest.cpp
    LIBRARIES zanto_packkit ZLIB::ZLIB)

# The decoder against zlib on encoder-made streams and their mutations. Both the decoder's and the
# encoder's sources are compiled into this target, so AddressSanitizer and UBSan cover them.
zanto_add_gtest(zfed_differential_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ZfedDifferentialTest.cpp
            ${PROJECT_SOURCE_DIR}/package/ZfedDecoder.cpp
            ${PROJECT_SOURCE_DIR}/tools/zfed/ZfedEncoder.cpp
    LIBRARIES ZLIB::ZLIB
    TIMEOUT 300)
zanto_sanitize(zfed_differential_test)
