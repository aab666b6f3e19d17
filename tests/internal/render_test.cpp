// SPDX-License-Identifier: GPL-2.0-or-later
// Tests for stream text rendering (lib/follow/render.cpp).
#include "follow/follow_state.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string>
#include <vector>

namespace {

// Every test starts from an empty stream text and zeroed direction counters.
class RenderTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        clear_stream_text();
        follow_state.client_offset = 0;
        follow_state.server_offset = 0;
    }
    // Current text with its size checked against the length-plus-NUL invariant.
    static std::string text() {
        if (!follow_state.stream_text.text) {
            EXPECT_EQ(follow_state.stream_text.size, 0u);
            return std::string();
        }
        std::string s(follow_state.stream_text.text);
        EXPECT_EQ(follow_state.stream_text.size, s.size() + 1);
        return s;
    }
    static bool render(int32_t format, int32_t direction, int is_server, std::vector<uint8_t> bytes) {
        return render_stream_piece(format, direction, is_server, bytes.data(), (uint32_t)bytes.size());
    }
    static std::vector<uint8_t> sequence(uint8_t first, size_t count) {
        std::vector<uint8_t> v(count);
        for (size_t i = 0; i < count; i++) v[i] = (uint8_t)(first + i);
        return v;
    }
};

// Fixed-width pieces of an unindented hex dump line.
std::string hex_line(const std::string &offset, const std::string &hex, const std::string &chars) {
    std::string line = offset + "  " + hex;
    line.resize(10 + 49, ' ');
    return line + chars + "\n";
}

// ---- appending and clearing -------------------------------------------------

TEST_F(RenderTest, AppendJoinsPiecesWithCrLfAndCountsNul) {
    ASSERT_TRUE(append_stream_piece("hello", 5));
    EXPECT_EQ(text(), "hello");
    EXPECT_EQ(follow_state.stream_text.size, 6u);
    ASSERT_TRUE(append_stream_piece("X", 1));
    EXPECT_EQ(text(), "hello\r\nX");
    EXPECT_EQ(follow_state.stream_text.size, 9u);
    ASSERT_TRUE(append_stream_piece("yz", 2));
    EXPECT_EQ(text(), "hello\r\nX\r\nyz");
    EXPECT_EQ(follow_state.stream_text.size, 13u);
}

TEST_F(RenderTest, AppendCopiesOnlyTheGivenLength) {
    ASSERT_TRUE(append_stream_piece("abcdef", 3));
    EXPECT_EQ(text(), "abc");
}

TEST_F(RenderTest, ClearReleasesTextAndCanBeRepeated) {
    EXPECT_EQ(follow_state.stream_text.text, nullptr);
    clear_stream_text();
    ASSERT_TRUE(append_stream_piece("abc", 3));
    clear_stream_text();
    EXPECT_EQ(follow_state.stream_text.text, nullptr);
    EXPECT_EQ(follow_state.stream_text.size, 0u);
    ASSERT_TRUE(append_stream_piece("z", 1));
    EXPECT_EQ(text(), "z");  // first piece after clearing has no leading CR LF
}

TEST_F(RenderTest, AppendThatCannotGrowKeepsTextAndReportsFailure) {
    // A first piece whose size with the NUL does not fit 32 bits is refused.
    EXPECT_FALSE(append_stream_piece("", UINT32_MAX));
    EXPECT_EQ(follow_state.stream_text.text, nullptr);
    EXPECT_EQ(follow_state.stream_text.size, 0u);

    ASSERT_TRUE(append_stream_piece("keep", 4));
    char *before = follow_state.stream_text.text;
    EXPECT_FALSE(append_stream_piece("", UINT32_MAX - 5));
    EXPECT_EQ(follow_state.stream_text.text, before);
    EXPECT_EQ(text(), "keep");
    EXPECT_EQ(follow_state.stream_text.size, 5u);
}

// ---- masking, ascii and ebcdic ----------------------------------------------

TEST_F(RenderTest, MaskKeepsOnlyPrintableRangeAndLineEnds) {
    std::vector<uint8_t> all = sequence(0, 256);
    mask_unprintable(all.data(), (uint32_t)all.size());
    for (int b = 0; b < 256; b++) {
        uint8_t expected = (b == 0x0A || b == 0x0D || (b >= 0x20 && b <= 0x7E)) ? (uint8_t)b : '.';
        EXPECT_EQ(all[b], expected) << "byte " << b;
    }
}

TEST_F(RenderTest, AsciiMasksBytesInPlaceAndAppendsOnePiece) {
    std::vector<uint8_t> bytes = {0x09, 0x00, 0x41, 0x0A, 0xE9};
    ASSERT_TRUE(render_stream_piece(WSB_RENDER_ASCII, WSB_DIRECTION_BOTH, 0, bytes.data(), 5));
    EXPECT_EQ(text(), "..A\n.");
    EXPECT_EQ(follow_state.stream_text.size, 6u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "..A\n.");
    EXPECT_EQ(follow_state.client_offset, 0u);
    EXPECT_EQ(follow_state.server_offset, 0u);
}

TEST_F(RenderTest, AsciiPiecesAreJoinedByCrLfOnly) {
    ASSERT_TRUE(render(WSB_RENDER_ASCII, WSB_DIRECTION_BOTH, 0, {'a', 'b', '\r', '\n'}));
    ASSERT_TRUE(render(WSB_RENDER_ASCII, WSB_DIRECTION_BOTH, 1, {'c'}));
    EXPECT_EQ(text(), "ab\r\n\r\nc");
}

TEST_F(RenderTest, UnknownFormatsRenderAsAscii) {
    ASSERT_TRUE(render(7, WSB_DIRECTION_BOTH, 0, {0x09, 0x00, 0x41, 0x0A, 0xE9}));
    EXPECT_EQ(text(), "..A\n.");
    EXPECT_EQ(follow_state.stream_text.size, 6u);
    ASSERT_TRUE(render(-1, 5, 1, {'x', 0x7F}));
    EXPECT_EQ(text(), "..A\n.\r\nx.");
}

TEST_F(RenderTest, EmptyAsciiPiece) {
    ASSERT_TRUE(render(WSB_RENDER_ASCII, WSB_DIRECTION_BOTH, 0, {}));
    ASSERT_NE(follow_state.stream_text.text, nullptr);
    EXPECT_EQ(text(), "");
    EXPECT_EQ(follow_state.stream_text.size, 1u);

    reset();
    ASSERT_TRUE(render(WSB_RENDER_ASCII, WSB_DIRECTION_BOTH, 0, {'a', 'b'}));
    ASSERT_TRUE(render(WSB_RENDER_ASCII, WSB_DIRECTION_BOTH, 0, {}));
    EXPECT_EQ(text(), "ab\r\n");
    EXPECT_EQ(follow_state.stream_text.size, 5u);
}

TEST_F(RenderTest, EbcdicConvertsInPlaceThenRendersAsAscii) {
    std::vector<uint8_t> bytes = {0xC8, 0xC5, 0xD3, 0xD3, 0xD6};
    ASSERT_TRUE(render_stream_piece(WSB_RENDER_EBCDIC, WSB_DIRECTION_BOTH, 0, bytes.data(), 5));
    EXPECT_EQ(text(), "HELLO");
    EXPECT_EQ(follow_state.stream_text.size, 6u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "HELLO");

    // EBCDIC space and lower-case letters convert; a NUL is still masked.
    ASSERT_TRUE(render(WSB_RENDER_EBCDIC, WSB_DIRECTION_BOTH, 1, {0x81, 0x40, 0x82, 0x00}));
    EXPECT_EQ(text(), "HELLO\r\na b.");
}

// ---- hex dump ---------------------------------------------------------------

TEST_F(RenderTest, HexDumpFullLinePositions) {
    ASSERT_TRUE(render(WSB_RENDER_HEXDUMP, WSB_DIRECTION_BOTH, 0, sequence('A', 16)));
    const std::string line = text();
    ASSERT_EQ(line.size(), 77u);
    EXPECT_EQ(line.substr(0, 8), "00000000");                   // 1-8
    EXPECT_EQ(line.substr(8, 2), "  ");                         // 9-10
    EXPECT_EQ(line.substr(10, 49),                              // 11-59
              "41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50 ");
    EXPECT_EQ(line.substr(59, 17), "ABCDEFGH IJKLMNOP");        // 60-76
    EXPECT_EQ(line[76], '\n');                                  // 77
    EXPECT_EQ(follow_state.client_offset, 16u);
    EXPECT_EQ(follow_state.server_offset, 0u);
}

TEST_F(RenderTest, HexDumpOfSeventeenBytesWrapsToSecondLine) {
    std::vector<uint8_t> bytes = sequence('a', 17);
    ASSERT_TRUE(render(WSB_RENDER_HEXDUMP, WSB_DIRECTION_BOTH, 0, bytes));
    const std::string first = hex_line("00000000",
        "61 62 63 64 65 66 67 68  69 6a 6b 6c 6d 6e 6f 70 ", "abcdefgh ijklmnop");
    const std::string second = hex_line("00000010", "71 ", "q");
    // Generated lines carry their own LF, so the join yields LF CR LF.
    EXPECT_EQ(text(), first + "\r\n" + second);
    EXPECT_EQ(second.find('q'), 59u);  // position 60, like a full line's first character
    EXPECT_EQ(follow_state.client_offset, 17u);
}

TEST_F(RenderTest, HexDumpOfExactlyEightBytes) {
    ASSERT_TRUE(render(WSB_RENDER_HEXDUMP, WSB_DIRECTION_BOTH, 0, sequence('0', 8)));
    const std::string expected = std::string("00000000  30 31 32 33 34 35 36 37  ") +
                                 std::string(49 - 25, ' ') + "01234567 \n";
    EXPECT_EQ(text(), expected);
    EXPECT_EQ(follow_state.client_offset, 8u);
}

TEST_F(RenderTest, HexDumpShortLinesPadHexColumn) {
    ASSERT_TRUE(render(WSB_RENDER_HEXDUMP, WSB_DIRECTION_BOTH, 0, sequence('0', 10)));
    EXPECT_EQ(text(), hex_line("00000000", "30 31 32 33 34 35 36 37  38 39 ", "01234567 89"));
    reset();
    ASSERT_TRUE(render(WSB_RENDER_HEXDUMP, WSB_DIRECTION_BOTH, 0, sequence('0', 3)));
    EXPECT_EQ(text(), hex_line("00000000", "30 31 32 ", "012"));
}

TEST_F(RenderTest, HexDumpTextColumnMasksLineEndsAndHexIsLowerCase) {
    ASSERT_TRUE(render(WSB_RENDER_HEXDUMP, WSB_DIRECTION_BOTH, 0, {'\n', '\r', '\t', 0x7F, 0xFF, 0x20, 0x7E, 0xAB}));
    EXPECT_EQ(text(), hex_line("00000000", "0a 0d 09 7f ff 20 7e ab  ", "..... ~. "));
}

TEST_F(RenderTest, HexDumpDoesNotRewriteBytes) {
    std::vector<uint8_t> bytes = {0x00, '\t', 0xE9};
    ASSERT_TRUE(render_stream_piece(WSB_RENDER_HEXDUMP, WSB_DIRECTION_BOTH, 0, bytes.data(), 3));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x00, '\t', 0xE9}));
}

TEST_F(RenderTest, HexDumpIndentsServerLinesOnlyForBothDirections) {
    const std::vector<uint8_t> piece = sequence('A', 17);
    const std::string indent(78, ' ');
    const std::string first = hex_line("00000000",
        "41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50 ", "ABCDEFGH IJKLMNOP");
    const std::string second = hex_line("00000010", "51 ", "Q");

    ASSERT_TRUE(render(WSB_RENDER_HEXDUMP, WSB_DIRECTION_BOTH, 1, piece));
    EXPECT_EQ(text(), indent + first + "\r\n" + indent + second);
    EXPECT_EQ(follow_state.server_offset, 17u);
    EXPECT_EQ(follow_state.client_offset, 0u);

    for (int32_t direction : {3, (int)WSB_DIRECTION_CLIENT, (int)WSB_DIRECTION_SERVER, -1}) {
        reset();
        ASSERT_TRUE(render(WSB_RENDER_HEXDUMP, direction, 1, piece));
        EXPECT_EQ(text(), first + "\r\n" + second) << "direction " << direction;
    }
    // Client pieces are never indented.
    reset();
    ASSERT_TRUE(render(WSB_RENDER_HEXDUMP, WSB_DIRECTION_BOTH, 0, piece));
    EXPECT_EQ(text(), first + "\r\n" + second);
}

TEST_F(RenderTest, HexDumpOffsetsRunOnPerDirection) {
    ASSERT_TRUE(render(WSB_RENDER_HEXDUMP, 3, 0, sequence('a', 20)));
    ASSERT_TRUE(render(WSB_RENDER_HEXDUMP, 3, 1, sequence('A', 4)));
    ASSERT_TRUE(render(WSB_RENDER_HEXDUMP, 3, 0, sequence('0', 5)));
    ASSERT_TRUE(render(WSB_RENDER_HEXDUMP, 3, 1, sequence('W', 2)));
    EXPECT_EQ(text(),
              hex_line("00000000", "61 62 63 64 65 66 67 68  69 6a 6b 6c 6d 6e 6f 70 ", "abcdefgh ijklmnop") +
              "\r\n" + hex_line("00000010", "71 72 73 74 ", "qrst") +
              "\r\n" + hex_line("00000000", "41 42 43 44 ", "ABCD") +
              "\r\n" + hex_line("00000014", "30 31 32 33 34 ", "01234") +
              "\r\n" + hex_line("00000004", "57 58 ", "WX"));
    EXPECT_EQ(follow_state.client_offset, 25u);
    EXPECT_EQ(follow_state.server_offset, 6u);
}

TEST_F(RenderTest, HexDumpOffsetIsUpperCaseHex) {
    follow_state.client_offset = 0xABCDEF;
    ASSERT_TRUE(render(WSB_RENDER_HEXDUMP, WSB_DIRECTION_BOTH, 0, {'z'}));
    EXPECT_EQ(text(), hex_line("00ABCDEF", "7a ", "z"));
    EXPECT_EQ(follow_state.client_offset, 0xABCDF0u);
}

TEST_F(RenderTest, EmptyHexDumpAppendsNothing) {
    ASSERT_TRUE(render(WSB_RENDER_HEXDUMP, WSB_DIRECTION_BOTH, 0, {}));
    EXPECT_EQ(follow_state.stream_text.text, nullptr);
    EXPECT_EQ(follow_state.stream_text.size, 0u);
    EXPECT_EQ(follow_state.client_offset, 0u);
    ASSERT_TRUE(append_stream_piece("x", 1));
    ASSERT_TRUE(render(WSB_RENDER_HEXDUMP, WSB_DIRECTION_BOTH, 0, {}));
    EXPECT_EQ(text(), "x");
}

// ---- C array ----------------------------------------------------------------

TEST_F(RenderTest, CArrayOfThreeClientBytes) {
    ASSERT_TRUE(render(WSB_RENDER_CARRAY, WSB_DIRECTION_BOTH, 0, {0x61, 0x62, 0x63}));
    EXPECT_EQ(text(), "char peer0_0[] = {\n\r\n0x61, 0x62, 0x63 };\n");
    EXPECT_EQ(follow_state.client_offset, 4u);
    EXPECT_EQ(follow_state.server_offset, 0u);
}

TEST_F(RenderTest, CArrayOfExactlyEightBytesHasNoTrailingComma) {
    ASSERT_TRUE(render(WSB_RENDER_CARRAY, WSB_DIRECTION_BOTH, 0, sequence(0, 8)));
    EXPECT_EQ(text(), "char peer0_0[] = {\n\r\n"
                      "0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07 };\n");
    EXPECT_EQ(follow_state.client_offset, 9u);
}

TEST_F(RenderTest, CArrayNumbersFollowTheByteCounter) {
    ASSERT_TRUE(render_c_array(0, sequence(0xA0, 10).data(), 10));
    EXPECT_EQ(follow_state.client_offset, 11u);
    ASSERT_TRUE(render_c_array(0, sequence(0x10, 1).data(), 1));
    EXPECT_EQ(text(), "char peer0_0[] = {\n"
                      "\r\n0xa0, 0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, \n"
                      "\r\n0xa8, 0xa9 };\n"
                      "\r\nchar peer0_11[] = {\n"
                      "\r\n0x10 };\n");
    EXPECT_EQ(follow_state.client_offset, 13u);
}

TEST_F(RenderTest, CArrayServerUsesPeerOneAndItsOwnCounter) {
    follow_state.client_offset = 5;
    follow_state.server_offset = 2;
    ASSERT_TRUE(render(WSB_RENDER_CARRAY, WSB_DIRECTION_SERVER, 1, {0xFF, 0x00}));
    EXPECT_EQ(text(), "char peer1_2[] = {\n\r\n0xff, 0x00 };\n");
    EXPECT_EQ(follow_state.server_offset, 5u);
    EXPECT_EQ(follow_state.client_offset, 5u);
}

TEST_F(RenderTest, EmptyCArrayAppendsHeaderAlone) {
    ASSERT_TRUE(render(WSB_RENDER_CARRAY, WSB_DIRECTION_BOTH, 0, {}));
    EXPECT_EQ(text(), "char peer0_0[] = {\n");
    EXPECT_EQ(follow_state.client_offset, 1u);
}

// ---- growth failure while rendering -----------------------------------------

TEST_F(RenderTest, RenderReportsFailedGrowthAndKeepsText) {
    ASSERT_TRUE(append_stream_piece("kept", 4));
    // Pretend the text is as large as a 32-bit size allows, so it cannot grow.
    const uint32_t real_size = follow_state.stream_text.size;
    follow_state.stream_text.size = UINT32_MAX - 1;
    EXPECT_FALSE(render(WSB_RENDER_HEXDUMP, WSB_DIRECTION_BOTH, 0, {'a'}));
    EXPECT_FALSE(render(WSB_RENDER_CARRAY, WSB_DIRECTION_BOTH, 1, {'a'}));
    EXPECT_FALSE(render(WSB_RENDER_ASCII, WSB_DIRECTION_BOTH, 0, {'a'}));
    follow_state.stream_text.size = real_size;
    EXPECT_EQ(text(), "kept");
    EXPECT_EQ(follow_state.client_offset, 0u);
    EXPECT_EQ(follow_state.server_offset, 0u);
}

}  // namespace
