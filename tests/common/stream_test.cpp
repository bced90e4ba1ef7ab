// The generic stream: reads with put-back, the put-back ring, writes through
// put or write, records and strings, flush, destroy, wait, and file streams.
// A scripted transport stands in where an exact sequence of transport
// answers (bytes, not-ready, end, failure) has to be produced.
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/aStream.h"

namespace {

// Answers get from a script of bytes and codes; records puts and writes.
struct Script {
  std::deque<std::pair<aErr, uint8_t>> answers;  // empty script: aErrNotReady
  std::string put;                               // bytes given to put
  std::vector<std::string> writes;               // one entry per write call
  aErr putResult = aErrNone;
  int deletes = 0;
  aErr deleteResult = aErrNone;

  void bytes(const std::string& s) {
    for (char c : s) answers.emplace_back(aErrNone, static_cast<uint8_t>(c));
  }
  void code(aErr e) { answers.emplace_back(e, 0); }

  static aErr get(uint8_t* byte, void* ref) {
    auto* self = static_cast<Script*>(ref);
    if (self->answers.empty()) return aErrNotReady;
    auto [err, b] = self->answers.front();
    self->answers.pop_front();
    if (err == aErrNone) *byte = b;
    return err;
  }
  static aErr putFn(const uint8_t* byte, void* ref) {
    auto* self = static_cast<Script*>(ref);
    if (self->putResult != aErrNone) return self->putResult;
    self->put.push_back(static_cast<char>(*byte));
    return aErrNone;
  }
  static aErr writeFn(const uint8_t* bytes, uint64_t count, void* ref) {
    static_cast<Script*>(ref)->writes.emplace_back(reinterpret_cast<const char*>(bytes), count);
    return aErrNone;
  }
  static aErr del(void* ref) {
    auto* self = static_cast<Script*>(ref);
    self->deletes++;
    return self->deleteResult;
  }
};

struct ScriptedStream {
  Script script;
  aStreamRef s;
  explicit ScriptedStream(bool withWrite = true)
      : s(aStream_Create(Script::get, Script::putFn, withWrite ? Script::writeFn : nullptr,
                         Script::del, &script)) {}
  ~ScriptedStream() {
    if (s) aStream_Destroy(&s);
  }
};

std::string sText(const uint8_t* bytes, size_t n) {
  return std::string(reinterpret_cast<const char*>(bytes), n);
}

TEST(Stream, PartialReadIsPutBackAndNeverReachesTheDestination) {
  ScriptedStream t;
  t.script.bytes("ab");  // then not ready
  uint8_t dest[4] = {'-', '-', '-', '-'};
  EXPECT_EQ(aStream_Read(t.s, dest, 4), aErrNotReady);
  EXPECT_EQ(sText(dest, 4), "----");
  EXPECT_EQ(t.s->bufferCount, 2u);
  t.script.bytes("cdef");
  ASSERT_EQ(aStream_Read(t.s, dest, 4), aErrNone);
  EXPECT_EQ(sText(dest, 4), "abcd");
  ASSERT_EQ(aStream_Read(t.s, dest, 2), aErrNone);
  EXPECT_EQ(sText(dest, 2), "ef");
}

TEST(Stream, ReadEndAndFailure) {
  ScriptedStream t;
  t.script.bytes("x");
  t.script.code(aErrEOF);
  uint8_t dest[3] = {'-', '-', '-'};
  EXPECT_EQ(aStream_Read(t.s, dest, 3), aErrEOF);
  EXPECT_EQ(dest[0], 'x');  // the bytes before the end
  EXPECT_EQ(dest[1], '-');

  // A transport failure part way keeps the bytes taken for the next read.
  t.script.bytes("yz");
  t.script.code(aErrIO);
  t.script.bytes("w");
  dest[0] = '-';
  EXPECT_EQ(aStream_Read(t.s, dest, 3), aErrIO);
  EXPECT_EQ(dest[0], '-');
  ASSERT_EQ(aStream_Read(t.s, dest, 3), aErrNone);
  EXPECT_EQ(sText(dest, 3), "yzw");
}

TEST(Stream, ReadAndWriteRefuseBadArguments) {
  ScriptedStream t;
  uint8_t b = 0;
  EXPECT_EQ(aStream_Read(nullptr, &b, 1), aErrParam);
  EXPECT_EQ(aStream_Read(t.s, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_Write(nullptr, &b, 1), aErrParam);
  EXPECT_EQ(aStream_Write(t.s, nullptr, 1), aErrParam);
  aStreamRef writeOnly = aStream_Create(nullptr, Script::putFn, nullptr, nullptr, &t.script);
  EXPECT_EQ(aStream_Read(writeOnly, &b, 1), aErrMode);
  EXPECT_EQ(aStream_Read(writeOnly, nullptr, 1), aErrMode);  // not readable comes first
  EXPECT_EQ(aStream_ReadRecord(writeOnly, &b, nullptr, 1, &b, 1), aErrMode);
  EXPECT_EQ(aStream_Wait(writeOnly, 0), aErrMode);
  aStream_Destroy(&writeOnly);
  aStreamRef readOnly = aStream_Create(Script::get, nullptr, nullptr, nullptr, &t.script);
  EXPECT_EQ(aStream_Write(readOnly, &b, 1), aErrMode);
  aStream_Destroy(&readOnly);
}

TEST(Stream, WriteUsesPutForOneByteAndWriteForMore) {
  ScriptedStream t;
  const uint8_t bytes[] = {1, 2, 3};
  ASSERT_EQ(aStream_Write(t.s, bytes, 1), aErrNone);
  EXPECT_EQ(t.script.put, "\x01");
  EXPECT_TRUE(t.script.writes.empty());
  ASSERT_EQ(aStream_Write(t.s, bytes, 2), aErrNone);
  ASSERT_EQ(t.script.writes.size(), 1u);
  EXPECT_EQ(t.script.writes[0], "\x01\x02");
  EXPECT_EQ(aStream_Write(t.s, bytes, 0), aErrNone);

  ScriptedStream putOnly(false);
  ASSERT_EQ(aStream_Write(putOnly.s, bytes, 3), aErrNone);
  EXPECT_EQ(putOnly.script.put, "\x01\x02\x03");
  putOnly.script.putResult = aErrIO;
  EXPECT_EQ(aStream_Write(putOnly.s, bytes, 3), aErrIO);

  Script script;
  aStreamRef writeOnly = aStream_Create(nullptr, nullptr, Script::writeFn, nullptr, &script);
  ASSERT_EQ(aStream_Write(writeOnly, bytes, 1), aErrNone);  // no put: one byte by write
  ASSERT_EQ(script.writes.size(), 1u);
  aStream_Destroy(&writeOnly);
}

TEST(Stream, PutBackRingGrowsAndKeepsOrder) {
  ScriptedStream t;
  for (int i = 0; i < 511; i++) ASSERT_EQ(aStreamBufferChar(t.s, static_cast<uint8_t>(i)), aErrNone);
  EXPECT_EQ(t.s->bufferSize, 512u);
  EXPECT_EQ(t.s->bufferCount, 511u);
  ASSERT_EQ(aStreamBufferChar(t.s, static_cast<uint8_t>(511)), aErrNone);
  EXPECT_EQ(t.s->bufferSize, 1024u);
  std::vector<uint8_t> all(512);
  ASSERT_EQ(aStream_Read(t.s, all.data(), all.size()), aErrNone);
  for (int i = 0; i < 512; i++) ASSERT_EQ(all[i], static_cast<uint8_t>(i)) << i;

  // Growth while the held bytes wrap around the end of the ring.
  ScriptedStream w;
  for (int i = 0; i < 400; i++) aStreamBufferChar(w.s, 0);
  std::vector<uint8_t> skip(400);
  ASSERT_EQ(aStream_Read(w.s, skip.data(), skip.size()), aErrNone);
  for (int i = 0; i < 600; i++) ASSERT_EQ(aStreamBufferChar(w.s, static_cast<uint8_t>(i % 251)), aErrNone);
  EXPECT_EQ(w.s->bufferSize, 1024u);
  std::vector<uint8_t> back(600);
  ASSERT_EQ(aStream_Read(w.s, back.data(), back.size()), aErrNone);
  for (int i = 0; i < 600; i++) ASSERT_EQ(back[i], static_cast<uint8_t>(i % 251)) << i;
  EXPECT_EQ(aStreamBufferChar(nullptr, 1), aErrParam);
}

struct RecordCase {
  const char* name;
  std::string input;       // bytes, then the end of input
  std::string delimiter;
  uint64_t capacity;
  aErr result;
  std::string record;
  std::string rest;        // what a following read finds before the end
};

class StreamRecord : public ::testing::TestWithParam<RecordCase> {};

TEST_P(StreamRecord, Reads) {
  const RecordCase& c = GetParam();
  ScriptedStream t;
  t.script.bytes(c.input);
  t.script.code(aErrEOF);
  std::vector<uint8_t> dest(c.capacity + 1, '-');
  uint64_t stored = 99;
  EXPECT_EQ(aStream_ReadRecord(t.s, dest.data(), &stored, c.capacity,
                               reinterpret_cast<const uint8_t*>(c.delimiter.data()),
                               c.delimiter.size()),
            c.result);
  EXPECT_EQ(stored, c.record.size());
  EXPECT_EQ(sText(dest.data(), stored), c.record);
  std::string rest;
  uint8_t b;
  while (aStream_Read(t.s, &b, 1) == aErrNone) rest.push_back(static_cast<char>(b));
  EXPECT_EQ(rest, c.rest);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamRecord,
    ::testing::Values(
        RecordCase{"line", "abc\ndef", "\n", 16, aErrNone, "abc", "def"},
        RecordCase{"capacity_reached", "abcdef\n", "\n", 4, aErrNone, "abcd", "ef\n"},
        RecordCase{"end_after_bytes", "abc", "\n", 16, aErrNone, "abc", ""},
        RecordCase{"end_with_nothing", "", "\n", 16, aErrEOF, "", ""},
        RecordCase{"two_byte_delimiter", "ab\r\ncd", "\r\n", 16, aErrNone, "ab", "cd"},
        RecordCase{"broken_delimiter_is_data", "a\rb\r\nc", "\r\n", 16, aErrNone, "a\rb", "c"},
        RecordCase{"delimiter_restarts_inside_a_break", "xaab", "aab", 16, aErrNone, "x", ""},
        RecordCase{"overlapping_start", "aaab", "aab", 16, aErrNone, "a", ""},
        RecordCase{"partial_delimiter_at_end", "ab\r", "\r\n", 16, aErrNone, "ab\r", ""},
        RecordCase{"capacity_inside_a_broken_delimiter", "ab\rx", "\r\n", 3, aErrNone, "ab\r",
                   "x"}),
    [](const ::testing::TestParamInfo<RecordCase>& info) { return info.param.name; });

TEST(Stream, RecordCutShortKeepsEveryByte) {
  // Not ready is the normal case; a transport failure part way loses nothing
  // either. The destination is untouched and no count is given.
  for (aErr cut : {aErrNotReady, aErrIO}) {
    SCOPED_TRACE(aError_GetErrorText(cut));
    ScriptedStream t;
    t.script.bytes("ab\r");  // then cut short, inside the delimiter
    t.script.code(cut);
    uint8_t dest[16] = {'-'};
    uint64_t stored = 99;
    const uint8_t crlf[] = {'\r', '\n'};
    EXPECT_EQ(aStream_ReadRecord(t.s, dest, &stored, 16, crlf, 2), cut);
    EXPECT_EQ(stored, 99u);
    EXPECT_EQ(dest[0], '-');
    t.script.bytes("\nnext");
    ASSERT_EQ(aStream_ReadRecord(t.s, dest, &stored, 16, crlf, 2), aErrNone);
    EXPECT_EQ(sText(dest, stored), "ab");
  }
}

TEST(Stream, TextAndCharBuffersAreBytes) {
  ScriptedStream t;
  ASSERT_EQ(aStream_Write(t.s, "abc", 3), aErrNone);
  ASSERT_EQ(aStream_WriteRecord(t.s, "de", 2, "\r\n", 2), aErrNone);
  ASSERT_EQ(t.script.writes.size(), 3u);
  EXPECT_EQ(t.script.writes[0], "abc");
  EXPECT_EQ(t.script.writes[2], "\r\n");

  t.script.bytes("xy;rest");
  t.script.code(aErrEOF);
  char two[2];
  ASSERT_EQ(aStream_Read(t.s, two, 2), aErrNone);
  EXPECT_EQ(std::string(two, 2), "xy");
  char record[8];
  uint64_t stored = 99;
  ASSERT_EQ(aStream_ReadRecord(t.s, record, &stored, sizeof record, ";", 1), aErrNone);
  EXPECT_EQ(stored, 0u);  // the delimiter came first
  ASSERT_EQ(aStream_ReadRecord(t.s, record, &stored, sizeof record, ";", 1), aErrNone);
  EXPECT_EQ(std::string(record, stored), "rest");
  t.script.code(aErrEOF);  // the first end was taken by the record before
  EXPECT_EQ(aStream_ReadRecord(t.s, record, &stored, sizeof record, ";", 1), aErrEOF);
  EXPECT_EQ(stored, 0u);
}

// A transport whose put and write take non-const byte pointers.
struct MutableSink {
  std::string put;
  std::vector<std::string> writes;
  static aErr putFn(uint8_t* byte, void* ref) {
    static_cast<MutableSink*>(ref)->put.push_back(static_cast<char>(*byte));
    return aErrNone;
  }
  static aErr writeFn(uint8_t* bytes, uint64_t count, void* ref) {
    static_cast<MutableSink*>(ref)->writes.emplace_back(reinterpret_cast<const char*>(bytes), count);
    return aErrNone;
  }
};

TEST(Stream, TransportsWithNonConstPutAndWrite) {
  struct Case {
    const char* what;
    bool put, write;
    std::string puts;
    size_t writes;
  } cases[] = {
      {"put and write", true, true, "a", 1},
      {"put only", true, false, "abc", 0},
      {"write only", false, true, "", 2},
  };
  for (const Case& c : cases) {
    MutableSink sink;
    aStreamRef s = nullptr;
    if (c.put && c.write) s = aStream_Create(nullptr, MutableSink::putFn, MutableSink::writeFn, nullptr, &sink);
    if (c.put && !c.write) s = aStream_Create(nullptr, MutableSink::putFn, nullptr, nullptr, &sink);
    if (!c.put && c.write) s = aStream_Create(nullptr, nullptr, MutableSink::writeFn, nullptr, &sink);
    ASSERT_NE(s, nullptr) << c.what;
    ASSERT_EQ(aStream_Write(s, "a", 1), aErrNone) << c.what;
    ASSERT_EQ(aStream_Write(s, "bc", 2), aErrNone) << c.what;
    EXPECT_EQ(sink.put, c.puts) << c.what;
    EXPECT_EQ(sink.writes.size(), c.writes) << c.what;
    ScriptedStream in;
    in.script.bytes("xy");
    in.script.code(aErrEOF);
    // Flush copies byte by byte through put; without one it is refused.
    EXPECT_EQ(aStream_Flush(in.s, s), c.put ? aErrNone : aErrMode) << c.what;
    if (c.put) {
      EXPECT_EQ(sink.put, c.puts + "xy") << c.what;
    }
    aStream_Destroy(&s);
  }
  // A const and a non-const callback for the same role is refused.
  Script script;
  EXPECT_EQ(aStream_CreateMutable(nullptr, Script::putFn, MutableSink::putFn, nullptr, nullptr, nullptr, &script),
            nullptr);
}

TEST(Stream, RecordRefusesBadArguments) {
  ScriptedStream t;
  uint8_t dest[4];
  const uint8_t nl = '\n';
  EXPECT_EQ(aStream_ReadRecord(nullptr, dest, nullptr, 4, &nl, 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(t.s, nullptr, nullptr, 4, &nl, 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(t.s, dest, nullptr, 4, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(t.s, dest, nullptr, 4, &nl, 0), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(t.s, dest, nullptr, 0, &nl, 1), aErrParam);
  EXPECT_EQ(aStream_WriteRecord(t.s, dest, 1, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_WriteRecord(t.s, dest, 1, &nl, 0), aErrParam);
}

TEST(Stream, CStrings) {
  ScriptedStream t;
  char dest[8];
  EXPECT_EQ(aStream_ReadCString(t.s, dest, 1), aErrParam);
  EXPECT_EQ(aStream_ReadCStringRecord(t.s, dest, 1, "\n"), aErrParam);

  t.script.bytes(std::string("hello\0world", 11));
  ASSERT_EQ(aStream_ReadCString(t.s, dest, sizeof dest), aErrNone);
  EXPECT_STREQ(dest, "hello");
  // A size of n holds at most n - 1 characters and the zero.
  ASSERT_EQ(aStream_ReadCString(t.s, dest, 4), aErrNone);
  EXPECT_STREQ(dest, "wor");

  ScriptedStream r;
  r.script.bytes("key=value;;rest");
  ASSERT_EQ(aStream_ReadCStringRecord(r.s, dest, sizeof dest, ";;"), aErrNone);
  EXPECT_STREQ(dest, "key=val");

  ScriptedStream w;
  ASSERT_EQ(aStream_WriteCString(w.s, "hi"), aErrNone);
  ASSERT_EQ(aStream_WriteCStringRecord(w.s, "ab", "\r\n"), aErrNone);
  const uint8_t data[] = {'x', 'y'};
  const uint8_t delim[] = {'|'};
  ASSERT_EQ(aStream_WriteRecord(w.s, data, 2, delim, 1), aErrNone);
  // The text, then its zero; the record, then its delimiter. Writes of more
  // than one byte go through write, single bytes through put.
  ASSERT_EQ(w.script.writes.size(), 4u);
  EXPECT_EQ(w.script.writes[0], "hi");
  EXPECT_EQ(w.script.writes[1], "ab");
  EXPECT_EQ(w.script.writes[2], std::string("\r\n\0", 3));
  EXPECT_EQ(w.script.writes[3], "xy");
  EXPECT_EQ(w.script.put, std::string("\0|", 2));
  EXPECT_EQ(aStream_WriteCString(w.s, ""), aErrNone);  // the zero alone
  EXPECT_EQ(w.script.put, std::string("\0|\0", 3));
}

TEST(Stream, FlushCopiesTheTransportUntilTheEnd) {
  ScriptedStream in, out;
  aStreamBufferChar(in.s, '>');  // put back: not part of the copy
  in.script.bytes("abc");
  in.script.code(aErrEOF);
  EXPECT_EQ(aStream_Flush(in.s, out.s), aErrNone);
  EXPECT_EQ(out.script.put, "abc");
  EXPECT_TRUE(out.script.writes.empty());  // byte by byte through put
  // The put-back byte is still the input's next byte.
  uint8_t b = 0;
  ASSERT_EQ(aStream_Read(in.s, &b, 1), aErrNone);
  EXPECT_EQ(b, '>');

  in.script.bytes("d");  // then not ready
  EXPECT_EQ(aStream_Flush(in.s, out.s), aErrNotReady);
  EXPECT_EQ(out.script.put, "abcd");
  in.script.code(aErrIO);
  EXPECT_EQ(aStream_Flush(in.s, out.s), aErrIO);
  in.script.bytes("e");
  out.script.putResult = aErrWrite;
  EXPECT_EQ(aStream_Flush(in.s, out.s), aErrWrite);
  EXPECT_EQ(aStream_Flush(nullptr, out.s), aErrParam);
  aStreamRef noPut = aStream_Create(Script::get, nullptr, nullptr, nullptr, &in.script);
  EXPECT_EQ(aStream_Flush(in.s, noPut), aErrMode);
  aStream_Destroy(&noPut);
}

TEST(Stream, DestroyRunsDeleteAndClearsTheReference) {
  Script script;
  script.deleteResult = aErrIO;
  aStreamRef s = aStream_Create(Script::get, nullptr, nullptr, Script::del, &script);
  aStreamBufferChar(s, 1);
  EXPECT_EQ(aStream_Destroy(&s), aErrIO);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(script.deletes, 1);
  EXPECT_EQ(aStream_Destroy(&s), aErrParam);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
}

aErr sWaitAnswer(uint64_t ms, void* ref) {
  *static_cast<uint64_t*>(ref) = ms;
  return aErrTimeout;
}

TEST(Stream, WaitAsksTheTransportUnlessBytesAreHeld) {
  ScriptedStream t;
  EXPECT_EQ(aStream_Wait(t.s, 10), aErrUnimplemented);
  EXPECT_EQ(aStream_Wait(nullptr, 10), aErrParam);
  uint64_t asked = 0;
  aStreamRef s = aStream_Create(Script::get, nullptr, nullptr, nullptr, &asked);
  ASSERT_EQ(aStream_SetWaitProc(s, sWaitAnswer), aErrNone);
  EXPECT_EQ(aStream_Wait(s, 25), aErrTimeout);
  EXPECT_EQ(asked, 25u);
  aStreamBufferChar(s, 7);
  asked = 0;
  EXPECT_EQ(aStream_Wait(s, 25), aErrNone);
  EXPECT_EQ(asked, 0u);
  aStream_Destroy(&s);
}

class FileStream : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("stream_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  std::filesystem::path dir_;
};

TEST_F(FileStream, WritesThenReadsBack) {
  aStreamRef out = nullptr;
  ASSERT_EQ(aStream_CreateFileOutput(path("data.bin").c_str(), &out), aErrNone);
  const uint8_t bytes[] = {0, 1, 2, 0xFF, '\n'};
  ASSERT_EQ(aStream_Write(out, bytes, sizeof bytes), aErrNone);
  ASSERT_EQ(aStream_Write(out, bytes + 3, 1), aErrNone);
  ASSERT_EQ(aStream_WriteCStringRecord(out, "line", "\n"), aErrNone);
  uint8_t b;
  EXPECT_EQ(aStream_Read(out, &b, 1), aErrMode);
  ASSERT_EQ(aStream_Destroy(&out), aErrNone);

  aStreamRef in = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(path("data.bin").c_str(), &in), aErrNone);
  uint8_t back[6];
  ASSERT_EQ(aStream_Read(in, back, 6), aErrNone);
  EXPECT_EQ(sText(back, 6), sText(bytes, 5) + "\xFF");
  char text[16];
  ASSERT_EQ(aStream_ReadCStringRecord(in, text, sizeof text, "\n"), aErrNone);
  EXPECT_STREQ(text, "line");
  ASSERT_EQ(aStream_Read(in, &b, 1), aErrNone);  // the delimiter's zero
  EXPECT_EQ(b, 0);
  EXPECT_EQ(aStream_Read(in, &b, 1), aErrEOF);
  EXPECT_EQ(aStream_Write(in, &b, 1), aErrMode);
  EXPECT_EQ(aStream_Destroy(&in), aErrNone);
}

TEST_F(FileStream, OutputTruncatesAndFlushCopiesAFile) {
  {
    std::ofstream(path("src.txt")) << "copy me";
    std::ofstream(path("dst.txt")) << "old contents that are longer";
  }
  aStreamRef in = nullptr, out = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(path("src.txt").c_str(), &in), aErrNone);
  ASSERT_EQ(aStream_CreateFileOutput(path("dst.txt").c_str(), &out), aErrNone);
  EXPECT_EQ(aStream_Flush(in, out), aErrNone);
  aStream_Destroy(&in);
  aStream_Destroy(&out);
  std::ifstream f(path("dst.txt"));
  std::string got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_EQ(got, "copy me");
}

TEST_F(FileStream, OpenFailures) {
  aStreamRef s = nullptr;
  EXPECT_EQ(aStream_CreateFileInput(path("missing").c_str(), &s), aErrResource);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(aStream_CreateFileInput(nullptr, &s), aErrResource);
  EXPECT_EQ(aStream_CreateFileInput(path("missing").c_str(), nullptr), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput(path("no/such/folder/x").c_str(), &s), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput(dir_.string().c_str(), &s), aErrResource);
  EXPECT_EQ(s, nullptr);
}

}  // namespace
