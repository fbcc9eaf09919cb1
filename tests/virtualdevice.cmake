zanto_add_gtest(virtual_device_tests
    SOURCES
        VirtualDeviceTest.cpp
    LIBRARIES
        zanto_virtual_device
    TIMEOUT 60)
