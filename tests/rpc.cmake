# The RPC core and its virtual binding against the virtual device. The core's and the binding's
# sources are compiled into the target, so AddressSanitizer and UBSan watch every access to a
# reply.
set(ZANTO_RPC_SANITIZED_SOURCES
    ${PROJECT_SOURCE_DIR}/rpc/ZantoRpcCore.cpp
    ${PROJECT_SOURCE_DIR}/rpc/UsbDevice_Core.cpp
    ${PROJECT_SOURCE_DIR}/rpc/ZantoProgrammer_Core.cpp
    ${PROJECT_SOURCE_DIR}/rpc/virtual/ZantoRpcVirtual.cpp
    ${PROJECT_SOURCE_DIR}/rpc/virtual/Enumerator_Virtual.cpp
    ${PROJECT_SOURCE_DIR}/rpc/virtual/UsbDevice_Virtual.cpp)

zanto_add_gtest(rpc_tests
    SOURCES
        RpcExchangeTest.cpp
        RpcBindingTest.cpp
        RpcProgrammerTest.cpp
        ${ZANTO_RPC_SANITIZED_SOURCES}
    LIBRARIES zanto_virtual_device
    TIMEOUT 60)
zanto_sanitize(rpc_tests)
