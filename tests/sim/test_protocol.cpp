// What the simulator checks in command packets and motion blocks.
#include "sim_harness.h"

using namespace sim_test;

namespace {

std::vector<uint8_t> filled(size_t n, uint8_t first) {
    std::vector<uint8_t> v(n, 0);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
    return v;
}

}  // namespace

TEST_F(BackendTest, CleanCommandStreamRecordsNoErrorAndKeepsPayloads) {
    const std::vector<uint8_t> axis = filled(262, 1);
    const std::vector<uint8_t> io = filled(112, 100);
    EXPECT_EQ(0, tsim_axis_config(nullptr));
    EXPECT_EQ(0, tsim_io_config(nullptr));
    EXPECT_EQ(0, command(9, axis));
    EXPECT_EQ(0, command(11, io));
    EXPECT_EQ(0, command(2, {2, 1, 0x00, 0x80, 0x3E, 0x00}));
    EXPECT_EQ(0, command(3, {2}));
    EXPECT_EQ(0, command(4, std::vector<uint8_t>(48, 0)));
    EXPECT_EQ(0, command(5, {1, 0}));
    EXPECT_EQ(0, command(6, {1, 0, 0, 0, 3, 0, 2, 0}));
    EXPECT_EQ(0, command(7, {1, 2, 3, 0, 0, 5, 6, 7, 8, 0}));
    EXPECT_EQ(0, command(12, {0, 0, 0, 0}));
    EXPECT_EQ(0, command(13, {}));
    EXPECT_EQ(0, command(14, {3}));
    EXPECT_EQ(0, command(17, {1, 10, 0, 0, 0, 0, 0x40, 0x1F, 0, 1, 0}));
    EXPECT_EQ(0, tsim_protocol_error_count()) << joined(protocolErrors());

    uint8_t out[262];
    ASSERT_EQ(1, tsim_axis_config(out));
    EXPECT_EQ(0, std::memcmp(out, axis.data(), 262));
    ASSERT_EQ(1, tsim_io_config(out));
    EXPECT_EQ(0, std::memcmp(out, io.data(), 112));
    uint8_t payload[16];
    ASSERT_EQ(8, tsim_last_command(6, payload, sizeof payload));
    EXPECT_EQ(0, std::memcmp(payload, "\x01\x00\x00\x00\x03\x00\x02\x00", 8));
    ASSERT_EQ(10, tsim_last_command(7, payload, sizeof payload));
    EXPECT_EQ(8, payload[8]);
    ASSERT_EQ(11, tsim_last_command(17, payload, sizeof payload));
    EXPECT_EQ(1, payload[9]);
    EXPECT_EQ(0, tsim_last_command(13, payload, sizeof payload));
    EXPECT_EQ(-1, tsim_last_command(8, payload, sizeof payload));
    EXPECT_EQ(1, tsim_command_count(14));

    // The stream is recorded byte for byte.
    ASSERT_EQ(12, tsim_write_count());
    uint8_t pipe = 0;
    uint8_t first[4];
    EXPECT_EQ(266, tsim_write_get(0, &pipe, first, sizeof first, nullptr, nullptr));
    EXPECT_EQ(0x01, pipe);
    EXPECT_EQ(0, std::memcmp(first, "\x09\xF6\x06\x01", 4));
}

TEST_F(BackendTest, EachMalformedPacketIsOneProtocolErrorAndIsNotActedOn) {
    std::vector<uint8_t> p;
    int expected = 0;
    auto expectOneMore = [&](const char* what) {
        ++expected;
        EXPECT_EQ(expected, tsim_protocol_error_count()) << what << "\n" << joined(protocolErrors());
    };

    EXPECT_EQ(0, send(steps(0, 5, 1)));
    p = packet(12, {0, 0, 0, 0});
    p[1] = 0xF2;  // complement of 13, not 12
    write(0x01, p);
    expectOneMore("bad complement");
    EXPECT_EQ(5, tsim_buffer_level());  // not purged

    p = packet(5, {1, 0});
    p[2] = 3;  // length field says 3, two bytes follow
    write(0x01, p);
    expectOneMore("length field");
    tsim_advance_ms(100);
    EXPECT_EQ(0, tsim_pending_events());  // no homing ran

    command(2, {0, 1, 0, 0, 0});  // jog with a 5-byte payload
    expectOneMore("payload size of a known code");
    command(8, {1, 2});
    expectOneMore("unknown code");
    write(0x01, {14, 0xF1, 1});
    expectOneMore("shorter than a header");
    ASSERT_EQ(0, send(steps(0, 4, 1)));
    command(12, {1, 0, 0, 0});
    expectOneMore("purge payload not zero");
    EXPECT_EQ(4, tsim_buffer_level());  // not purged
    command(2, {0, 2, 0, 0, 0x10, 0});
    expectOneMore("jog direction");
    command(5, {6, 0});
    expectOneMore("homing axis 6");
    std::vector<uint8_t> probe(48, 0);
    probe[30] = 1;
    command(4, probe);
    expectOneMore("reserved probe bytes");
    write(0x03, {1, 2, 3});
    expectOneMore("wrong pipe");
    EXPECT_EQ(0, tsim_command_count(2));
    EXPECT_EQ(0, tsim_command_count(5));
    EXPECT_EQ(0, tsim_command_count(8));
    EXPECT_EQ(0, tsim_command_count(14));
    EXPECT_EQ(0, tsim_command_count(12));
    EXPECT_EQ(0, tsim_command_count(4));
    EXPECT_EQ(0, tsim_probe_armed());
    for (int i = 0; i < expected; ++i) EXPECT_NE(nullptr, tsim_protocol_error_text(i));
    EXPECT_EQ(nullptr, tsim_protocol_error_text(expected));
}

TEST_F(BackendTest, BlocksMustBeWholeSegmentsAndFitTheBuffer) {
    std::vector<uint8_t> b = block(steps(0, 2, 1));
    b.pop_back();  // 103 bytes
    write(0x02, b);
    EXPECT_EQ(1, tsim_protocol_error_count());
    EXPECT_EQ(0, tsim_buffer_level());

    send(steps(0, 76, 0));  // one too many for a block
    EXPECT_EQ(2, tsim_protocol_error_count());
    EXPECT_EQ(0, tsim_buffer_level());
    EXPECT_EQ(0, tsim_block_count());

    std::vector<Seg> bad = steps(0, 1, 0);
    bad[0].slot = 5000;
    send(bad);
    EXPECT_EQ(3, tsim_protocol_error_count());
    tsim_advance_ms(1);
    EXPECT_EQ(1, tsim_executed_count());

    // A 300-segment buffer takes four full blocks; the fifth overruns: the
    // segments that fit stay, the rest are dropped.
    tsim_set_buffer_size(300);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(0, send(steps(0, 75, 0, static_cast<uint16_t>(75 * i))));
    EXPECT_EQ(300, tsim_buffer_level());
    EXPECT_EQ(3, tsim_protocol_error_count()) << joined(protocolErrors());
    tsim_advance_ms(10);
    EXPECT_EQ(0, send(steps(0, 75, 0, 300)));
    EXPECT_EQ(300, tsim_buffer_level());
    ASSERT_EQ(4, tsim_protocol_error_count());
    EXPECT_NE(std::string::npos, std::string(tsim_protocol_error_text(3)).find("overrun"));
    EXPECT_EQ(6, tsim_block_count());
    // The held segments run in order: the slot-5000 one first, slots 0-299,
    // then the ten of the overrun block that fitted (300-309).
    tsim_advance_ms(300);
    EXPECT_EQ(311, tsim_executed_count());
    tsim_executed e;
    ASSERT_EQ(1, tsim_executed_get(300, &e));
    EXPECT_EQ(299, e.slotIndex);
    ASSERT_EQ(1, tsim_executed_get(301, &e));
    EXPECT_EQ(300, e.slotIndex);
    ASSERT_EQ(1, tsim_executed_get(310, &e));
    EXPECT_EQ(309, e.slotIndex);
    EXPECT_EQ(0, tsim_executed_get(311, &e));
    EXPECT_EQ(4, tsim_protocol_error_count()) << joined(protocolErrors());
}
