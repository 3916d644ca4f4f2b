// The simulator's USB face: listing, opening, the firmware request, handles,
// fault injection and messages.
#include <thread>

#include "sim_harness.h"

using namespace sim_test;

namespace {

int listPath(const telvo_guid& guid, uint32_t index, std::string* path, uint32_t capacity = 260) {
    std::vector<char> buffer(capacity + 1, 'X');
    uint32_t required = 0;
    int rc = telvo_backend_list(&guid, index, buffer.data(), capacity, &required);
    if (rc == 0) {
        EXPECT_EQ(std::strlen(buffer.data()) + 1, required);
        *path = buffer.data();
    }
    return rc;
}

}  // namespace

TEST(SimListing, OnlyTheControllerGuidListsItsDevices) {
    tsim_reset();
    EXPECT_EQ(TELVO_BACKEND_ABI_VERSION, telvo_backend_abi_version());
    std::string path;
    ASSERT_EQ(0, listPath(kControllerGuid, 0, &path));
    EXPECT_EQ("sim://controller/0", path);
    EXPECT_EQ(TELVO_BACKEND_ERROR_NO_MORE_ITEMS, listPath(kControllerGuid, 1, &path));

    telvo_guid other = kControllerGuid;
    other.data4[7] ^= 1;
    EXPECT_EQ(TELVO_BACKEND_ERROR_NO_MORE_ITEMS, listPath(other, 0, &path));

    tsim_set_device_count(2);
    tsim_set_device_path(1, "sim://other");
    ASSERT_EQ(0, listPath(kControllerGuid, 1, &path));
    EXPECT_EQ("sim://other", path);
    EXPECT_EQ(TELVO_BACKEND_ERROR_NO_MORE_ITEMS, listPath(kControllerGuid, 2, &path));
    tsim_set_device_count(7);  // clamped to 2
    EXPECT_EQ(TELVO_BACKEND_ERROR_NO_MORE_ITEMS, listPath(kControllerGuid, 2, &path));

    // A path that does not fit: 122 and the length it needs, nothing copied.
    const std::string longPath(300, 'p');
    tsim_set_device_path(0, longPath.c_str());
    char small[260];
    std::memset(small, 'X', sizeof small);
    uint32_t required = 0;
    EXPECT_EQ(TELVO_BACKEND_ERROR_INSUFFICIENT_BUFFER,
              telvo_backend_list(&kControllerGuid, 0, small, sizeof small, &required));
    EXPECT_EQ(301u, required);
    EXPECT_EQ('X', small[0]);
    ASSERT_EQ(0, listPath(kControllerGuid, 0, &path, 301));
    EXPECT_EQ(longPath, path);

    tsim_set_device_count(0);
    EXPECT_EQ(TELVO_BACKEND_ERROR_NO_MORE_ITEMS, listPath(kControllerGuid, 0, &path));
}

TEST(SimOpening, OpenInitialiseFirmwareAndStaleHandles) {
    tsim_reset();
    telvo_backend_file file = nullptr;
    telvo_backend_interface iface = nullptr;
    EXPECT_EQ(TELVO_BACKEND_ERROR_FILE_NOT_FOUND, telvo_backend_open("sim://controller/1", &file));  // not listed
    EXPECT_EQ(TELVO_BACKEND_ERROR_FILE_NOT_FOUND, telvo_backend_open("sim://nothing", &file));
    ASSERT_EQ(0, telvo_backend_open("sim://controller/0", &file));
    EXPECT_EQ(0, tsim_device_open());
    ASSERT_EQ(0, telvo_backend_initialize(file, &iface));
    EXPECT_EQ(1, tsim_device_open());

    // The firmware request answers the configured bytes.
    const uint8_t setup[8] = {0xA0, 0xE0, 0, 0, 0, 0, 5, 0};
    char version[6] = "00.00";
    uint32_t transferred = 99;
    EXPECT_EQ(0, telvo_backend_control_transfer(iface, setup, version, 5, &transferred));
    EXPECT_EQ(5u, transferred);
    EXPECT_STREQ("01.23", version);

    tsim_set_firmware("7.1", 3);  // a short answer leaves the rest alone
    std::memcpy(version, "00.00", 6);
    EXPECT_EQ(0, telvo_backend_control_transfer(iface, setup, version, 5, &transferred));
    EXPECT_EQ(3u, transferred);
    EXPECT_STREQ("7.100", version);

    // Any other request is stalled and recorded.
    const uint8_t other[8] = {0xA0, 0xE1, 0, 0, 0, 0, 5, 0};
    EXPECT_EQ(TELVO_BACKEND_ERROR_GEN_FAILURE, telvo_backend_control_transfer(iface, other, version, 5, &transferred));
    EXPECT_EQ(0u, transferred);
    EXPECT_EQ(1, tsim_protocol_error_count());
    EXPECT_EQ(3, tsim_control_count());

    // Writes carry the device index; with two devices the second is index 1.
    tsim_set_device_count(2);
    telvo_backend_file file1 = nullptr;
    telvo_backend_interface iface1 = nullptr;
    ASSERT_EQ(0, telvo_backend_open("sim://controller/1", &file1));
    ASSERT_EQ(0, telvo_backend_initialize(file1, &iface1));
    const std::vector<uint8_t> stop = packet(14, {0});
    uint32_t n = 0;
    EXPECT_EQ(0, telvo_backend_write_pipe(iface, 0x01, stop.data(), 5, &n));
    EXPECT_EQ(0, telvo_backend_write_pipe(iface1, 0x01, stop.data(), 5, &n));
    int device = -1;
    ASSERT_EQ(2, tsim_write_count());
    EXPECT_EQ(5, tsim_write_get(0, nullptr, nullptr, 0, &device, nullptr));
    EXPECT_EQ(0, device);
    EXPECT_EQ(5, tsim_write_get(1, nullptr, nullptr, 0, &device, nullptr));
    EXPECT_EQ(1, device);
    EXPECT_EQ(-1, tsim_write_get(2, nullptr, nullptr, 0, nullptr, nullptr));

    // Unplugging device 1: its transfers fail, device 0 goes on.
    tsim_set_device_count(1);
    EXPECT_EQ(TELVO_BACKEND_ERROR_GEN_FAILURE, telvo_backend_write_pipe(iface1, 0x01, stop.data(), 5, &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(0, telvo_backend_write_pipe(iface, 0x01, stop.data(), 5, &n));
    telvo_backend_free(iface1);
    telvo_backend_close(file1);

    // Freed and forgotten handles are refused.
    telvo_backend_free(iface);
    EXPECT_EQ(0, tsim_device_open());
    EXPECT_EQ(6, telvo_backend_write_pipe(iface, 0x01, stop.data(), 5, &n));
    ASSERT_EQ(0, telvo_backend_initialize(file, &iface));
    tsim_reset();
    EXPECT_EQ(0, tsim_device_open());
    EXPECT_EQ(6, telvo_backend_write_pipe(iface, 0x01, stop.data(), 5, &n));
    EXPECT_EQ(6, telvo_backend_initialize(file, &iface));
    EXPECT_EQ(0, tsim_write_count());
}

TEST_F(BackendTest, FaultsFireOnTheArmedOperation) {
    std::string path;
    // Listing: the second list call fails, then listing works again.
    tsim_inject(TSIM_FAULT_LIST_FAILS, 1, 0);
    EXPECT_EQ(0, listPath(kControllerGuid, 0, &path));
    EXPECT_EQ(TELVO_BACKEND_ERROR_GEN_FAILURE, listPath(kControllerGuid, 0, &path));
    EXPECT_EQ(0, listPath(kControllerGuid, 0, &path));

    // The path query only counts calls that found a device.
    tsim_inject(TSIM_FAULT_PATH_QUERY_FAILS, 0, 0);
    EXPECT_EQ(TELVO_BACKEND_ERROR_NO_MORE_ITEMS, listPath(kControllerGuid, 1, &path));
    int rc = listPath(kControllerGuid, 0, &path);
    EXPECT_NE(0, rc);
    EXPECT_NE(TELVO_BACKEND_ERROR_NO_MORE_ITEMS, rc);
    EXPECT_NE(TELVO_BACKEND_ERROR_INSUFFICIENT_BUFFER, rc);
    EXPECT_EQ(0, listPath(kControllerGuid, 0, &path));

    telvo_backend_file f2 = nullptr;
    telvo_backend_interface i2 = nullptr;
    tsim_inject(TSIM_FAULT_OPEN_FAILS, 0, 0);
    EXPECT_EQ(TELVO_BACKEND_ERROR_FILE_NOT_FOUND, telvo_backend_open("sim://controller/0", &f2));
    ASSERT_EQ(0, telvo_backend_open("sim://controller/0", &f2));
    tsim_inject(TSIM_FAULT_INIT_FAILS, 0, 0);
    EXPECT_EQ(TELVO_BACKEND_ERROR_GEN_FAILURE, telvo_backend_initialize(f2, &i2));
    telvo_backend_close(f2);

    const uint8_t setup[8] = {0xA0, 0xE0, 0, 0, 0, 0, 5, 0};
    char version[6] = "00.00";
    uint32_t n = 7;
    tsim_inject(TSIM_FAULT_CONTROL_FAILS, 0, 0);
    EXPECT_EQ(TELVO_BACKEND_ERROR_GEN_FAILURE, telvo_backend_control_transfer(iface, setup, version, 5, &n));
    EXPECT_EQ(0u, n);
    EXPECT_STREQ("00.00", version);

    // Command writes: failing ones (with repeat) and a short one are recorded,
    // flagged and not acted on.
    tsim_clear_writes();
    tsim_inject(TSIM_FAULT_COMMAND_WRITE_FAILS, 1, 1);
    EXPECT_EQ(0, command(6, {1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(TELVO_BACKEND_ERROR_GEN_FAILURE, command(6, {2, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(TELVO_BACKEND_ERROR_GEN_FAILURE, command(6, {3, 0, 0, 0, 0, 0, 0, 0}));
    tsim_clear_faults();
    tsim_inject(TSIM_FAULT_COMMAND_WRITE_SHORT, 0, 0);
    uint32_t transferred = 0;
    EXPECT_EQ(0, write(0x01, packet(6, {4, 0, 0, 0, 0, 0, 0, 0}), &transferred));
    EXPECT_EQ(11u, transferred);
    EXPECT_EQ(1, tsim_command_count(6));
    uint8_t outputs[8];
    EXPECT_EQ(8, tsim_last_command(6, outputs, 8));
    EXPECT_EQ(1, outputs[0]);
    ASSERT_EQ(4, tsim_write_count());
    int failed = -1;
    uint8_t bytes[12];
    const int expectFailed[4] = {0, 1, 1, 1};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(12, tsim_write_get(i, nullptr, bytes, 12, nullptr, &failed));
        EXPECT_EQ(expectFailed[i], failed) << "write " << i;
        EXPECT_EQ(i + 1, bytes[4]);  // the bytes offered are recorded
    }

    // A failed block write holds nothing.
    tsim_inject(TSIM_FAULT_BLOCK_WRITE_FAILS, 0, 0);
    EXPECT_EQ(TELVO_BACKEND_ERROR_GEN_FAILURE, send(steps(0, 3, 1)));
    EXPECT_EQ(0, tsim_buffer_level());
    EXPECT_EQ(0, send(steps(0, 3, 1)));
    EXPECT_EQ(3, tsim_buffer_level());

    // Reads: a refused start never completes; a stuck read survives frames
    // and pushes, and freeing the interface drops it.
    Read refused;
    tsim_inject(TSIM_FAULT_READ_START_FAILS, 0, 0);
    EXPECT_EQ(TELVO_BACKEND_ERROR_GEN_FAILURE, refused.start(iface));
    EXPECT_EQ(0, tsim_read_pending());
    Read stuck;
    tsim_inject(TSIM_FAULT_READ_NEVER_COMPLETES, 0, 0);
    EXPECT_EQ(0, stuck.start(iface));
    tsim_advance_ms(5);
    uint8_t raw[60] = {60};
    tsim_push_frame(raw);
    EXPECT_EQ(1, tsim_read_pending());
    EXPECT_EQ(2, tsim_read_count());
    telvo_backend_free(iface);
    EXPECT_EQ(0, tsim_read_pending());
    tsim_advance_ms(5);
    EXPECT_EQ(0, refused.completions.load());
    EXPECT_EQ(0, stuck.completions.load());
    ASSERT_EQ(0, telvo_backend_initialize(file, &iface));
    Read fresh;  // the pushed frame is still there for the next read
    EXPECT_EQ(0, fresh.start(iface));
    EXPECT_EQ(1, fresh.completions.load());
    EXPECT_EQ(0, tsim_protocol_error_count()) << joined(protocolErrors());
}

namespace {

struct HookProbe {
    int calls = 0;
    int messagesSeen = 0;
    int64_t clockSeenByOtherThread = -1;
    telvo_backend_interface iface = nullptr;
    int writeResult = -1;
};

void messageHook(void* context) {
    HookProbe& probe = *static_cast<HookProbe*>(context);
    ++probe.calls;
    probe.messagesSeen = tsim_message_count();
    // Another thread can use the simulator while the hook runs: the hook is
    // not called under the simulator's lock.
    std::thread other([&probe] { probe.clockSeenByOtherThread = tsim_clock_ms(); });
    other.join();
    // Re-entering the backend from the hook works.
    const std::vector<uint8_t> stop = packet(14, {0});
    uint32_t n = 0;
    probe.writeResult = telvo_backend_write_pipe(probe.iface, 0x01, stop.data(), 5, &n);
}

}  // namespace

TEST_F(BackendTest, MessagesAreRecordedAndTheHookRunsUnlocked) {
    telvo_backend_show_message("first", "caption one");
    HookProbe probe;
    probe.iface = iface;
    tsim_set_message_hook(&messageHook, &probe);
    telvo_backend_show_message("Error writing to device!", "telvo");
    EXPECT_EQ(1, probe.calls);
    EXPECT_EQ(2, probe.messagesSeen);  // recorded before the hook runs
    EXPECT_EQ(0, probe.clockSeenByOtherThread);
    EXPECT_EQ(0, probe.writeResult);
    EXPECT_EQ(1, tsim_command_count(14));
    ASSERT_EQ(2, tsim_message_count());
    EXPECT_STREQ("first", tsim_message_text(0));
    EXPECT_STREQ("caption one", tsim_message_caption(0));
    EXPECT_STREQ("Error writing to device!", tsim_message_text(1));
    EXPECT_STREQ("telvo", tsim_message_caption(1));
    EXPECT_EQ(nullptr, tsim_message_text(2));
    tsim_set_message_hook(nullptr, nullptr);
    telvo_backend_show_message("third", "c");
    EXPECT_EQ(1, probe.calls);
}
