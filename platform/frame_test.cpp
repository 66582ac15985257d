#include "platform/frame.h"

#include <gtest/gtest.h>

#include <vector>

namespace platform::wire {
namespace {

Frame SampleSend() {
  Frame f;
  f.type = FrameType::kSend;
  f.seq = 0x0102030405060708ull;
  f.window = 0x10001;
  f.msg = kWmCopyData;
  f.hasCopyData = true;
  f.wParam = 0x10002;
  f.lParam = -7;
  f.dwData = 42;
  f.data = std::string("GET CHATMESSAGE 1 BODY\0tail", 27);
  return f;
}

void ExpectSame(const Frame& a, const Frame& b) {
  EXPECT_EQ(a.type, b.type);
  EXPECT_EQ(a.seq, b.seq);
  EXPECT_EQ(a.window, b.window);
  EXPECT_EQ(a.msg, b.msg);
  EXPECT_EQ(a.hasCopyData, b.hasCopyData);
  EXPECT_EQ(a.wParam, b.wParam);
  EXPECT_EQ(a.lParam, b.lParam);
  EXPECT_EQ(a.dwData, b.dwData);
  EXPECT_EQ(a.data, b.data);
  EXPECT_EQ(a.result, b.result);
}

std::string Head(std::uint32_t type, std::uint32_t length) {
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((type >> (8 * i)) & 0xFF));
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
  return out;
}

TEST(FrameReader, ReadsFramesFedWholeAndOneByteAtATime) {
  Frame notify;
  notify.type = FrameType::kNotify;
  notify.window = kHwndBroadcast;
  notify.msg = 0xC001;
  notify.wParam = 0x10005;
  Frame reply;
  reply.type = FrameType::kReply;
  reply.seq = 9;
  reply.result = -1;
  const std::string stream = Encode(SampleSend()) + Encode(notify) + Encode(reply);

  for (std::size_t piece : {stream.size(), std::size_t{1}, std::size_t{7}}) {
    SCOPED_TRACE(piece);
    FrameReader reader;
    std::vector<Frame> frames;
    for (std::size_t i = 0; i < stream.size(); i += piece) {
      reader.Append(std::string_view(stream).substr(i, piece));
      Frame f;
      FrameReader::Status s;
      while ((s = reader.Next(f)) == FrameReader::Status::kFrame) frames.push_back(f);
      ASSERT_EQ(s, FrameReader::Status::kNeedMore);
    }
    ASSERT_EQ(frames.size(), 3u);
    ExpectSame(frames[0], SampleSend());
    ExpectSame(frames[1], notify);
    ExpectSame(frames[2], reply);
    EXPECT_EQ(reader.Buffered(), 0u);
  }
}

TEST(FrameReader, EmptyCopyDataIsDistinctFromNone) {
  Frame f = SampleSend();
  f.data.clear();
  FrameReader reader;
  reader.Append(Encode(f));
  Frame out;
  ASSERT_EQ(reader.Next(out), FrameReader::Status::kFrame);
  EXPECT_TRUE(out.hasCopyData);
  EXPECT_EQ(out.data, "");
}

// What a reader says of these bytes, and whether it stays bad when a good frame follows.
struct Rejection {
  const char* name;
  std::string bytes;
};
void ExpectEachRejectedForGood(const std::vector<Rejection>& cases) {
  for (const Rejection& c : cases) {
    SCOPED_TRACE(c.name);
    FrameReader reader;
    reader.Append(c.bytes);
    Frame out;
    EXPECT_EQ(reader.Next(out), FrameReader::Status::kBad);
    // Once bad, always bad: nothing after it is trusted.
    reader.Append(Encode(SampleSend()));
    EXPECT_EQ(reader.Next(out), FrameReader::Status::kBad);
  }
}

TEST(FrameReader, RejectsImpossibleHeadsBeforeTheirPayloadArrives) {
  ExpectEachRejectedForGood({
      {"unknown type", Head(7, 16)},
      {"type zero", Head(0, 0)},
      {"reply too short", Head(3, 15)},
      {"reply too long", Head(3, 17)},
      {"message shorter than its head", Head(1, 47)},
      {"length beyond the bound", Head(1, static_cast<std::uint32_t>(kMaxPayloadBytes + 1))},
      {"length near 4 GiB", Head(2, 0xFFFFFFF0u)},
  });
}

TEST(FrameReader, RejectsFlagsThatDoNotFitTheMessage) {
  std::string good = Encode(SampleSend());
  std::string badFlags = good;
  badFlags[8 + 20] = 3;  // flag bits beyond copy-data
  std::string noFlag = good;
  noFlag[8 + 20] = 0;  // payload longer than the head, yet no data announced
  // WM_COPYDATA with a bare integer where the receiver expects the address of its data.
  Frame bare = SampleSend();
  bare.hasCopyData = false;
  bare.lParam = 0x41414141;
  Frame notified = SampleSend();
  notified.type = FrameType::kNotify;
  Frame dataOnOther = SampleSend();
  dataOnOther.msg = 0xC001;
  ExpectEachRejectedForGood({{"unknown flags", badFlags},
                             {"data without the flag", noFlag},
                             {"WM_COPYDATA without data", Encode(bare)},
                             {"WM_COPYDATA as a notification", Encode(notified)},
                             {"data on another message", Encode(dataOnOther)}});
}

TEST(FrameReader, TruncatedFrameWaitsForMore) {
  const std::string bytes = Encode(SampleSend());
  FrameReader reader;
  reader.Append(std::string_view(bytes).substr(0, bytes.size() - 1));
  Frame out;
  EXPECT_EQ(reader.Next(out), FrameReader::Status::kNeedMore);
  reader.Append(std::string_view(bytes).substr(bytes.size() - 1));
  EXPECT_EQ(reader.Next(out), FrameReader::Status::kFrame);
}

}  // namespace
}  // namespace platform::wire
