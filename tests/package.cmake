zanto_add_gtest(package_tests
    SOURCES
        UpdatePackageTest.cpp
        ClassifyTest.cpp
    LIBRARIES zanto_package zanto_packkit)
