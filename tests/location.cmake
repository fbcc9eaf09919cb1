zanto_add_gtest(location_tests
    SOURCES
        PeResourceTest.cpp
        ElfSectionTest.cpp
        PackageLocationTest.cpp
    LIBRARIES
        zanto_package
        zanto_test_fixtures)
add_dependencies(location_tests zanto_windres_fixture)
target_compile_definitions(location_tests PRIVATE
    ZANTO_WINDRES_EXECUTABLE="${ZANTO_WINDRES_EXECUTABLE}"
    ZANTO_WINDRES_SOURCES="${ZANTO_WINDRES_SOURCES}"
    ZANTO_OBJCOPY="${CMAKE_OBJCOPY}"
    ZANTO_STRIP="${CMAKE_STRIP}")
