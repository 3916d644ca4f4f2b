// libtelvo_usb.so through its C ABI, over libusb and emulated usbdevfs:
// discovery, claiming, transfers, and how failed or pending reads end.
#include <atomic>
#include <cstring>
#include <string>

#include "usb_test.h"

namespace usbtest {
namespace {

constexpr int kErrorInvalidHandle = 6;
constexpr int kErrorDeviceNotConnected = 1167;

class ModuleTest : public BenchTest {
protected:
    void SetUp() override {
        BenchTest::SetUp();
        tsim_set_scripted(1);  // frames only when a test pushes them
    }
    void load() { ASSERT_TRUE(m.load(TELVO_USB_MODULE)) << dlerror(); }
    void unloadAll() override { m.unload(); }

    // The path at an index, or the error.
    std::string listed(uint32_t index, const telvo_guid& guid = kControllerGuid, int* error = nullptr) {
        char path[64] = {};
        uint32_t required = 0;
        const int r = m.list(&guid, index, path, sizeof path, &required);
        if (error != nullptr) *error = r;
        if (r != TELVO_BACKEND_OK) return {};
        EXPECT_EQ(std::strlen(path) + 1, required);
        return path;
    }
    void openFirst() {
        const std::string path = listed(0);
        ASSERT_FALSE(path.empty());
        ASSERT_EQ(TELVO_BACKEND_OK, m.open(path.c_str(), &file));
        ASSERT_EQ(TELVO_BACKEND_OK, m.initialize(file, &iface));
    }
    void pushFrame(uint8_t marker) {
        tsim_frame f;
        std::memset(&f, 0, sizeof f);
        f.length = 60;
        f.deviceByte = marker;
        uint8_t raw[60];
        tsim_frame_encode(&f, raw);
        tsim_push_frame(raw);
    }

    static void count(void* context) { static_cast<std::atomic<int>*>(context)->fetch_add(1); }

    Module m;
    telvo_backend_file file = nullptr;
    telvo_backend_interface iface = nullptr;
};

// ---- discovery ---------------------------------------------------------------

TEST_F(ModuleTest, FindsAControllerByMsOs20Descriptors) {
    bench->add({.port = 2, .declares = Declares::msOs20});
    load();
    EXPECT_EQ(TELVO_BACKEND_ABI_VERSION, m.abiVersion());
    EXPECT_EQ("usb:1-2", listed(0));
    int error = 0;
    EXPECT_EQ("", listed(1, kControllerGuid, &error));
    EXPECT_EQ(TELVO_BACKEND_ERROR_NO_MORE_ITEMS, error);
    // BOS header, BOS, descriptor set: three requests per listing.
    EXPECT_EQ(6, bench->log(0).controlRequests);

    // A buffer too small gets the length it needs and nothing else.
    char small[4] = {'x', 'x', 'x', 'x'};
    uint32_t required = 0;
    EXPECT_EQ(TELVO_BACKEND_ERROR_INSUFFICIENT_BUFFER, m.list(&kControllerGuid, 0, small, sizeof small, &required));
    EXPECT_EQ(8u, required);
    EXPECT_EQ('x', small[0]);
}

TEST_F(ModuleTest, FindsAControllerByMsOs10Descriptors) {
    bench->add({.port = 4, .declares = Declares::msOs10});
    load();
    EXPECT_EQ("usb:1-4", listed(0));
    // String 0xEE, the properties' header, the properties.
    EXPECT_EQ(3, bench->log(0).controlRequests);
}

TEST_F(ModuleTest, AWrongGuidFindsNothing) {
    bench->add({.port = 1, .declares = Declares::msOs20});
    bench->add({.port = 2, .declares = Declares::msOs10});
    bench->add({.port = 3, .declares = Declares::msOs20, .guid = kOtherGuid});
    load();
    int error = 0;
    EXPECT_EQ("usb:1-3", listed(0, kOtherGuid));
    EXPECT_EQ("", listed(1, kOtherGuid, &error));
    EXPECT_EQ(TELVO_BACKEND_ERROR_NO_MORE_ITEMS, error);
    EXPECT_EQ("usb:1-1", listed(0));
    EXPECT_EQ("usb:1-2", listed(1));
    EXPECT_EQ("", listed(2, kControllerGuid, &error));
    EXPECT_EQ(TELVO_BACKEND_ERROR_NO_MORE_ITEMS, error);
}

TEST_F(ModuleTest, FallbackListNamesControllersWithoutDescriptors) {
    bench->add({.port = 1, .vendor = 0x16C0, .product = 0x05DC, .declares = Declares::nothing});
    load();
    int error = 0;
    EXPECT_EQ("", listed(0, kControllerGuid, &error));
    EXPECT_EQ(TELVO_BACKEND_ERROR_NO_MORE_ITEMS, error);
    const int asked = bench->log(0).controlRequests;
    EXPECT_EQ(1, asked);  // string 0xEE only: a bcdUSB 2.00 device has no BOS

    setenv("TELVO_USB_IDS", "dead:beef, 16c0:05dc,junk", 1);
    EXPECT_EQ("usb:1-1", listed(0));
    EXPECT_EQ(asked, bench->log(0).controlRequests);  // named: nothing asked
}

TEST_F(ModuleTest, OnlyPlausibleDevicesAreAsked) {
    bench->add({.port = 1, .declares = Declares::msOs20, .controllerShape = false, .vendorClass = false});
    bench->add({.port = 2, .declares = Declares::msOs20, .controllerShape = false});
    bench->add({.port = 3, .declares = Declares::msOs20, .vendorClass = false});
    bench->add({.port = 4, .declares = Declares::msOs20});
    load();
    EXPECT_EQ("usb:1-4", listed(0));
    EXPECT_EQ(0, bench->log(0).controlRequests);  // an input device
    EXPECT_EQ(0, bench->log(1).controlRequests);  // vendor class, other endpoints
    EXPECT_EQ(0, bench->log(2).controlRequests);  // the endpoints, but a standard class
    EXPECT_EQ(3, bench->log(3).controlRequests);
}

TEST_F(ModuleTest, TwoControllersListInPortOrderAndTheFirstIsUsed) {
    tsim_set_device_count(2);
    const int second = bench->add({.port = 3, .machine = 1});
    const int first = bench->add({.port = 1, .machine = 0});
    load();
    EXPECT_EQ("usb:1-1", listed(0));
    EXPECT_EQ("usb:1-3", listed(1));
    openFirst();
    EXPECT_TRUE(bench->log(first).claimed);
    EXPECT_FALSE(bench->log(second).claimed);
    const uint8_t stop[] = {14, 0xFF - 14, 1, 0, 0};
    uint32_t transferred = 0;
    ASSERT_EQ(TELVO_BACKEND_OK, m.writePipe(iface, 0x01, stop, sizeof stop, &transferred));
    EXPECT_EQ(sizeof stop, transferred);
    ASSERT_EQ(1, tsim_write_count());
    int device = -1;
    tsim_write_get(0, nullptr, nullptr, 0, &device, nullptr);
    EXPECT_EQ(0, device);
    m.free(iface);
    m.close(file);
}

TEST_F(ModuleTest, OpenRefusesPathsOfNoController) {
    bench->add({.port = 1});
    bench->add({.port = 2, .controllerShape = false});
    load();
    for (const char* bad : {"usb:1-9", "usb:2-1", "usb:1-", "usb:1-1.", "sim://controller/0", "usb:1-1x", ""}) {
        telvo_backend_file f = reinterpret_cast<telvo_backend_file>(0x1);
        EXPECT_EQ(TELVO_BACKEND_ERROR_FILE_NOT_FOUND, m.open(bad, &f)) << bad;
        EXPECT_EQ(nullptr, f);
    }
    telvo_backend_file f = nullptr;
    EXPECT_EQ(TELVO_BACKEND_ERROR_GEN_FAILURE, m.open("usb:1-2", &f));  // no controller interface
    EXPECT_EQ(TELVO_BACKEND_OK, m.open("usb:1-1", &f));                 // a path needs no listing first
    telvo_backend_interface i = nullptr;
    EXPECT_EQ(kErrorInvalidHandle, m.initialize(&i, &i));               // not a handle of the module
    m.close(f);
}

// ---- claiming and transfers ----------------------------------------------------

TEST_F(ModuleTest, InitializeDetachesTheDriverAndFreeGivesItBack) {
    bench->add({.port = 1, .kernelDriver = true});
    load();
    openFirst();
    DeviceLog log = bench->log(0);
    EXPECT_TRUE(log.claimed);
    EXPECT_FALSE(log.driverBound);
    EXPECT_EQ(1, log.driverDetaches);
    m.free(iface);
    log = bench->log(0);
    EXPECT_FALSE(log.claimed);
    EXPECT_TRUE(log.driverBound);
    EXPECT_EQ(1, log.driverAttaches);
    // Freed: the handle is refused, not used.
    uint32_t transferred = 7;
    EXPECT_EQ(kErrorInvalidHandle, m.writePipe(iface, 0x01, "x", 1, &transferred));
    EXPECT_EQ(0u, transferred);
    m.close(file);
}

TEST_F(ModuleTest, CommandsBlocksStatusAndFirmwareReachTheMachine) {
    bench->add({.port = 1});
    load();
    openFirst();
    uint8_t firmware[5] = {};
    const uint8_t setup[8] = {0xA0, 0xE0, 0, 0, 0, 0, 5, 0};
    uint32_t got = 0;
    ASSERT_EQ(TELVO_BACKEND_OK, m.controlTransfer(iface, setup, firmware, sizeof firmware, &got));
    EXPECT_EQ(5u, got);
    EXPECT_EQ(0, std::memcmp(firmware, "01.23", 5));
    EXPECT_EQ(1, tsim_control_count());

    const uint8_t home[] = {5, 0xFF - 5, 2, 0, 3, 0};
    uint32_t transferred = 0;
    ASSERT_EQ(TELVO_BACKEND_OK, m.writePipe(iface, 0x01, home, sizeof home, &transferred));
    EXPECT_EQ(sizeof home, transferred);
    EXPECT_EQ(1, tsim_command_count(5));
    EXPECT_EQ(87, m.writePipe(iface, 0x81, home, sizeof home, &transferred));  // not an OUT pipe

    std::atomic<int> done{0};
    uint8_t frame[64];
    std::memset(frame, 0xEE, sizeof frame);
    ASSERT_EQ(TELVO_BACKEND_OK, m.readPipeAsync(iface, 0x81, frame, sizeof frame, &count, &done));
    EXPECT_EQ(TELVO_BACKEND_ERROR_GEN_FAILURE, m.readPipeAsync(iface, 0x81, frame, sizeof frame, &count, &done));
    pushFrame(0x5A);
    ASSERT_TRUE(waitFor([&] { return done.load() == 1; }));
    tsim_frame f;
    tsim_frame_decode(frame, &f);
    EXPECT_EQ(60, f.length);
    EXPECT_EQ(0x5A, f.deviceByte);
    EXPECT_EQ(0, frame[60]);  // beyond what the device sent: zeroed, not stale
    m.free(iface);
    m.close(file);
    EXPECT_EQ(0, tsim_protocol_error_count()) << tsim_protocol_error_text(0);
}

TEST_F(ModuleTest, AShortWriteReportsTheCountTaken) {
    bench->add({.port = 1});
    load();
    openFirst();
    tsim_inject(TSIM_FAULT_COMMAND_WRITE_SHORT, 0, 0);
    const uint8_t stop[] = {14, 0xFF - 14, 1, 0, 0};
    uint32_t transferred = 0;
    EXPECT_EQ(TELVO_BACKEND_OK, m.writePipe(iface, 0x01, stop, sizeof stop, &transferred));
    EXPECT_EQ(sizeof stop - 1, transferred);
    m.free(iface);
    m.close(file);
}

TEST_F(ModuleTest, AStalledFirmwareRequestFails) {
    bench->add({.port = 1});
    load();
    openFirst();
    bench->stallFirmwareRequest(0);
    uint8_t firmware[5] = {};
    const uint8_t setup[8] = {0xA0, 0xE0, 0, 0, 0, 0, 5, 0};
    uint32_t got = 9;
    EXPECT_EQ(TELVO_BACKEND_ERROR_GEN_FAILURE, m.controlTransfer(iface, setup, firmware, sizeof firmware, &got));
    EXPECT_EQ(0u, got);
    // The control pipe works again afterwards.
    EXPECT_EQ(TELVO_BACKEND_OK, m.controlTransfer(iface, setup, firmware, sizeof firmware, &got));
    EXPECT_EQ(5u, got);
    m.free(iface);
    m.close(file);
}

// ---- how reads end -------------------------------------------------------------

TEST_F(ModuleTest, FailedAndEmptyReadsAreNeverFrames) {
    bench->add({.port = 1});
    load();
    openFirst();
    bench->failNextStatusReads(0, 3);
    bench->zeroLengthStatusReads(0, 2);
    std::atomic<int> done{0};
    uint8_t frame[60];
    ASSERT_EQ(TELVO_BACKEND_OK, m.readPipeAsync(iface, 0x81, frame, sizeof frame, &count, &done));
    // Five failed or empty reads are resubmitted; the sixth waits for a frame.
    ASSERT_TRUE(waitFor([&] { return bench->log(0).inSubmitted == 6 && bench->log(0).pendingIn == 1; }));
    EXPECT_EQ(0, done.load());
    pushFrame(0x33);
    ASSERT_TRUE(waitFor([&] { return done.load() == 1; }));
    tsim_frame f;
    tsim_frame_decode(frame, &f);
    EXPECT_EQ(0x33, f.deviceByte);
    m.free(iface);
    m.close(file);
}

TEST_F(ModuleTest, ReadsThatKeepFailingStayPending) {
    bench->add({.port = 1});
    load();
    openFirst();
    bench->failNextStatusReads(0, 1000);
    std::atomic<int> done{0};
    uint8_t frame[60];
    ASSERT_EQ(TELVO_BACKEND_OK, m.readPipeAsync(iface, 0x81, frame, sizeof frame, &count, &done));
    // One submission and sixteen retries, then the module gives up quietly.
    ASSERT_TRUE(waitFor([&] {
        return m.readPipeAsync(iface, 0x81, frame, sizeof frame, &count, &done) == kErrorDeviceNotConnected;
    }));
    EXPECT_EQ(17, bench->log(0).inSubmitted);
    EXPECT_EQ(0, done.load());
    m.free(iface);
    m.close(file);
}

TEST_F(ModuleTest, ReadPendingAtFreeIsCancelledAndNeverCompletes) {
    bench->add({.port = 1});
    load();
    openFirst();
    std::atomic<int> done{0};
    uint8_t frame[60];
    ASSERT_EQ(TELVO_BACKEND_OK, m.readPipeAsync(iface, 0x81, frame, sizeof frame, &count, &done));
    ASSERT_TRUE(waitFor([&] { return bench->log(0).pendingIn == 1; }));
    m.free(iface);  // returns only once the cancel is through
    const DeviceLog log = bench->log(0);
    EXPECT_EQ(1, log.discards);
    EXPECT_EQ(0, log.pendingIn);
    EXPECT_FALSE(log.claimed);
    pushFrame(0x44);
    tsim_advance_ms(5);
    EXPECT_EQ(0, done.load());
    m.close(file);
}

TEST_F(ModuleTest, UnplugLeavesTheReadPendingAndFailsTheNextWrite) {
    bench->add({.port = 1});
    load();
    openFirst();
    std::atomic<int> done{0};
    uint8_t frame[60];
    ASSERT_EQ(TELVO_BACKEND_OK, m.readPipeAsync(iface, 0x81, frame, sizeof frame, &count, &done));
    ASSERT_TRUE(waitFor([&] { return bench->log(0).pendingIn == 1; }));
    bench->unplug(0);
    ASSERT_TRUE(waitFor([&] {
        return m.readPipeAsync(iface, 0x81, frame, sizeof frame, &count, &done) == kErrorDeviceNotConnected;
    }));
    EXPECT_EQ(0, done.load());
    const uint8_t stop[] = {14, 0xFF - 14, 1, 0, 0};
    uint32_t transferred = 9;
    EXPECT_EQ(kErrorDeviceNotConnected, m.writePipe(iface, 0x01, stop, sizeof stop, &transferred));
    EXPECT_EQ(0u, transferred);
    m.free(iface);
    m.close(file);
    EXPECT_EQ(0, done.load());
}

}  // namespace
}  // namespace usbtest
