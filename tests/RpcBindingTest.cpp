// The virtual binding: the root's lifetime rules, the walk over the attached devices and the
// identity an opened device reads from its descriptors.

#include "RpcTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

using namespace rpctest;
using zantovirtual::Scenario;

namespace
{

std::shared_ptr<zantovirtual::VirtualDevice> deviceWith(std::uint16_t vendorId,
                                                        std::uint16_t productId)
{
    Scenario scenario = zantovirtual::defaultScenario();
    scenario.vendorId = vendorId;
    scenario.productId = productId;
    return zantovirtual::createVirtualDevice(scenario);
}

// Product ids in walk order, each read from a device that the caller opened itself.
std::vector<std::uint16_t> walk(ZantoRpc& root, std::uint16_t vendorId, std::uint16_t productId)
{
    std::vector<std::uint16_t> seen;
    Held<ZantoRpc::Enumerator> enumerator(root.createEnumerator(vendorId, productId));
    for (; enumerator->isValid(); enumerator->next())
    {
        Held<ZantoRpc::UsbDevice> device(enumerator->openDevice());
        seen.push_back(device ? device->getProductId() : 0);
    }
    EXPECT_EQ(enumerator->openDevice(), nullptr);
    EXPECT_FALSE(enumerator->next());
    return seen;
}

TEST(RpcRoot, RootsAreCountedWhileAlive)
{
    const int before = ZantoRpcVirtual::getOpenCount();
    ZantoRpcVirtual* first = ZantoRpcVirtual::create({});
    ZantoRpcVirtual* second = ZantoRpcVirtual::create({});
    EXPECT_EQ(first->getReferenceCount(), 1);
    EXPECT_EQ(second->getReferenceCount(), 1);
    EXPECT_EQ(ZantoRpcVirtual::getOpenCount(), before + 2);

    first->incReferenceCount();
    first->decReferenceCount();
    EXPECT_EQ(first->getReferenceCount(), 1);
    EXPECT_EQ(ZantoRpcVirtual::getOpenCount(), before + 2);

    first->decReferenceCount();
    EXPECT_EQ(ZantoRpcVirtual::getOpenCount(), before + 1);
    second->decReferenceCount();
    EXPECT_EQ(ZantoRpcVirtual::getOpenCount(), before);
}

TEST(RpcRoot, DeviceOutlivesItsEnumeratorAndHoldsTheVirtualDevice)
{
    std::shared_ptr<zantovirtual::VirtualDevice> attached = deviceWith(0x1234, 0x0042);
    std::weak_ptr<zantovirtual::VirtualDevice> watch = attached;
    Held<ZantoRpcVirtual> root(ZantoRpcVirtual::create({attached}));
    attached.reset();

    ZantoRpc::Enumerator* enumerator = root->createEnumerator(0xFFFF, 0xFFFF);
    ZantoRpc::UsbDevice* device = enumerator->openDevice();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->getReferenceCount(), 1);
    EXPECT_EQ(enumerator->getReferenceCount(), 1);
    enumerator->decReferenceCount();
    root.reset();

    EXPECT_FALSE(watch.expired());
    EXPECT_TRUE(device->exchange(0x0F00, nullptr, 0, nullptr, 0, 0));
    EXPECT_EQ(device->getReplyStatus(), zantovirtual::status::Reply);

    device->incReferenceCount();
    device->decReferenceCount();
    EXPECT_FALSE(watch.expired());
    device->decReferenceCount();
    EXPECT_TRUE(watch.expired());
}

TEST(RpcRoot, TimeFollowsTheSteadyClock)
{
    Held<ZantoRpcVirtual> root(ZantoRpcVirtual::create({}));
    const double before = root->getTimeSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double elapsed = root->getTimeSeconds() - before;
    EXPECT_GE(elapsed, 0.2);
    EXPECT_LT(elapsed, 1.0);
}

struct FilterCase
{
    const char* name;
    std::uint16_t vendorFilter;
    std::uint16_t productFilter;
    std::vector<std::uint16_t> seen;
};

class Filter : public testing::TestWithParam<FilterCase>
{
};

// The attached list: (vendor, product) 0x1000/0x1234, a gone device, 0x2000/0x1235,
// 0x2000/0x1234, 0x1000/0x0001.
TEST_P(Filter, WalksMatchingDevicesInOrder)
{
    const FilterCase& c = GetParam();
    Held<ZantoRpcVirtual> root(
        ZantoRpcVirtual::create({deviceWith(0x1000, 0x1234), nullptr, deviceWith(0x2000, 0x1235),
                                 deviceWith(0x2000, 0x1234), deviceWith(0x1000, 0x0001)}));
    EXPECT_EQ(walk(*root, c.vendorFilter, c.productFilter), c.seen);
}

INSTANTIATE_TEST_SUITE_P(
    Rpc, Filter,
    testing::Values(FilterCase{"Any", 0xFFFF, 0xFFFF, {0x1234, 0x1235, 0x1234, 0x0001}},
                    FilterCase{"AnyVendorOneProduct", 0xFFFF, 0x1234, {0x1234, 0x1234}},
                    FilterCase{"OneVendorAnyProduct", 0x2000, 0xFFFF, {0x1235, 0x1234}},
                    FilterCase{"Both", 0x1000, 0x0001, {0x0001}},
                    FilterCase{"NoMatch", 0x3000, 0xFFFF, {}}),
    [](const testing::TestParamInfo<FilterCase>& info) { return std::string(info.param.name); });

TEST(RpcEnumerator, NothingAttached)
{
    Held<ZantoRpcVirtual> root(ZantoRpcVirtual::create({nullptr}));
    Held<ZantoRpc::Enumerator> enumerator(root->createEnumerator(0xFFFF, 0xFFFF));
    EXPECT_FALSE(enumerator->isValid());
    EXPECT_EQ(enumerator->openDevice(), nullptr);
    EXPECT_FALSE(enumerator->next());
}

TEST(RpcEnumerator, TwoDevicesStepOnceThenFinish)
{
    Held<ZantoRpcVirtual> root(
        ZantoRpcVirtual::create({deviceWith(0x1000, 0x0001), deviceWith(0x1000, 0x0002)}));
    Held<ZantoRpc::Enumerator> enumerator(root->createEnumerator(0xFFFF, 0xFFFF));
    ASSERT_TRUE(enumerator->isValid());
    EXPECT_TRUE(enumerator->next());
    Held<ZantoRpc::UsbDevice> second(enumerator->openDevice());
    EXPECT_EQ(second->getProductId(), 0x0002);
    EXPECT_FALSE(enumerator->next());
    EXPECT_FALSE(enumerator->isValid());
}

TEST(RpcDevice, IdentityFromTheDescriptors)
{
    Scenario scenario = zantovirtual::defaultScenario();
    scenario.vendorId = 0xABCD;
    scenario.productId = 0x0123;
    scenario.deviceVersion = 0x0207;
    scenario.manufacturer = u"Maker \u0141\u00E9";
    scenario.product = u"Box";
    scenario.serialNumber.clear();
    Held<ZantoRpcVirtual> root(
        ZantoRpcVirtual::create({zantovirtual::createVirtualDevice(scenario)}));
    Held<ZantoRpc::Enumerator> enumerator(root->createEnumerator(0xFFFF, 0xFFFF));
    Held<ZantoRpc::UsbDevice> device(enumerator->openDevice());

    EXPECT_EQ(device->getVendorId(), 0xABCD);
    EXPECT_EQ(device->getProductId(), 0x0123);
    EXPECT_EQ(device->getDeviceVersion(), 0x0207);
    // Each UTF-16 unit keeps its low byte: U+0141 becomes 0x41, U+00E9 stays 0xE9.
    ASSERT_NE(device->getManufacturer(), nullptr);
    EXPECT_EQ(std::string(device->getManufacturer()), "Maker A\xE9");
    ASSERT_NE(device->getProductName(), nullptr);
    EXPECT_EQ(std::string(device->getProductName()), "Box");
    EXPECT_EQ(device->getSerialNumber(), nullptr);
}

struct StringCase
{
    const char* name;
    std::vector<std::uint8_t> bytes;
    const char* text; // null: no string
};

class StringDescriptor : public testing::TestWithParam<StringCase>
{
};

TEST_P(StringDescriptor, NarrowedWithinItsBytes)
{
    const StringCase& c = GetParam();
    const auto text = ZantoRpcCore::UsbDevice_Core::narrowStringDescriptor(
        c.bytes.empty() ? nullptr : c.bytes.data(), c.bytes.size());
    if (c.text == nullptr)
    {
        EXPECT_EQ(text, nullptr);
        return;
    }
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text.get()), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Rpc, StringDescriptor,
    testing::Values(StringCase{"TwoCharacters", {6, 3, 0x41, 0x00, 0x62, 0x00}, "Ab"},
                    StringCase{"HighByteDropped", {4, 3, 0x41, 0x01}, "A"},
                    StringCase{"OddLengthDropsTheHalfUnit", {5, 3, 0x41, 0x00, 0x42}, "A"},
                    StringCase{"BytesAfterTheLengthIgnored", {4, 3, 0x41, 0x00, 0x42, 0x00}, "A"},
                    StringCase{"LengthTwo", {2, 3}, nullptr},
                    StringCase{"NotAString", {4, 2, 0x41, 0x00}, nullptr},
                    StringCase{"ClaimsMoreThanDelivered", {8, 3, 0x41, 0x00}, nullptr},
                    StringCase{"OneByte", {4}, nullptr}, StringCase{"Empty", {}, nullptr}),
    [](const testing::TestParamInfo<StringCase>& info) { return std::string(info.param.name); });

} // namespace
