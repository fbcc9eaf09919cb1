zanto_add_gtest(zzpack_tests
    SOURCES ZzpackTest.cpp
    LIBRARIES zanto_package zanto_packkit
    TIMEOUT 300)
target_compile_definitions(zzpack_tests PRIVATE ZZPACK_PATH="$<TARGET_FILE:zzpack>")
add_dependencies(zzpack_tests zzpack)
