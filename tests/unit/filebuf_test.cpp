#include "filebuf.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "testutil.h"
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "log.h"

namespace {

namespace fs = std::filesystem;

// A temporary folder removed with its contents at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "qm-filebuf-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string file(const std::string &name) const { return (path_ / name).string(); }
  const fs::path &path() const { return path_; }

 private:
  fs::path path_;
};

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void spit(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

Filebuf make(const std::string &text) {
  Filebuf fb;
  fb.Add(text);
  return fb;
}

std::string str(const Filebuf &fb) { return std::string(fb.view()); }

// Text that compresses, with enough variety to exercise more than one deflate block.
std::string sample_text(std::size_t n, unsigned seed = 1) {
  std::mt19937 rng(seed);
  static const char *words[] = {"proxy ", "filter ", "cache ", "header\r\n", "body ", "\n"};
  std::string s;
  while (s.size() < n) s += words[rng() % 6];
  s.resize(n);
  return s;
}

std::string random_bytes(std::size_t n, unsigned seed = 7) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto &c : s) c = static_cast<char>(rng());
  return s;
}

std::string raw_deflate(const std::string &in) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&zs, in.size()), '\0');
  zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = reinterpret_cast<Bytef *>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

void le32(std::string &s, uint32_t v) {
  for (int i = 0; i < 4; i++) s.push_back(static_cast<char>(v >> (8 * i)));
}

uint32_t crc_of(const std::string &s) {
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef *>(s.data()),
                                     static_cast<uInt>(s.size())));
}

// A gzip member with every optional header field, built by hand.
std::string gzip_member_all_fields(const std::string &content, bool good_header_crc = true) {
  std::string m = {'\x1f', '\x8b', 8, 0x1e, 0x12, 0x34, 0x56, 0x78, 2, 3};
  const std::string extra = "AB\x04\x00wxyz";
  m.push_back(static_cast<char>(extra.size()));
  m.push_back(0);
  m += extra;
  m += std::string("page.html") + '\0';
  m += std::string("a comment") + '\0';
  uint32_t hcrc = crc_of(m) & 0xffff;
  if (!good_header_crc) hcrc ^= 1;
  m.push_back(static_cast<char>(hcrc));
  m.push_back(static_cast<char>(hcrc >> 8));
  m += raw_deflate(content);
  le32(m, crc_of(content));
  le32(m, static_cast<uint32_t>(content.size()));
  return m;
}

std::string run_gzip(const TempDir &dir, const std::string &name, const std::string &content,
                     const char *flags) {
  std::string path = dir.file(name);
  spit(path, content);
  std::string cmd = "gzip " + std::string(flags) + " '" + path + "'";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  return slurp(path + ".gz");
}

class FilebufLog : public ::testing::Test {
 protected:
  bool logged(const std::string &text) const { return log_.has(text); }
  LogCapture log_;
};

// ---- storage -----------------------------------------------------------------------------

TEST(FilebufGrowth, CapacityFollowsTheStepRule) {
  struct Case {
    const char *name;
    std::vector<std::size_t> resizes;
    std::size_t capacity;
  };
  const Case cases[] = {
      {"one byte allocates a step", {1}, 65536},
      {"exactly one step", {65536}, 65536},
      {"one byte past a step", {65536, 65537}, 131072},
      {"far below shrinks", {131072, 10}, 65536},
      {"little spare keeps", {131072, 70000}, 131072},
      {"zero keeps the storage", {131072, 0}, 131072},
      {"large growth is geometric", {1u << 20, (1u << 20) + 1}, 1572864},
  };
  for (const auto &c : cases) {
    Filebuf fb;
    for (std::size_t n : c.resizes) fb.Resize(n);
    EXPECT_EQ(fb.capacity(), c.capacity) << c.name;
    EXPECT_EQ(fb.length(), c.resizes.back()) << c.name;
    EXPECT_EQ(fb.capacity() % FILEBUF_STEP, 0u) << c.name;
  }
}

TEST(FilebufGrowth, ResizeKeepsTheContentPrefix) {
  std::string text = random_bytes(200000);
  Filebuf fb = make(text);
  fb.Resize(100);  // shrinks the storage
  ASSERT_EQ(fb.capacity(), 65536u);
  EXPECT_EQ(str(fb), text.substr(0, 100));
  fb.Resize(150000);  // grows again
  EXPECT_EQ(std::string(fb.data(), 100), text.substr(0, 100));
}

TEST(FilebufGrowth, AppendingABigBodyReallocatesRarely) {
  // Appending in BLOCKSIZE-like pieces must not copy the whole body at every 64 KiB step.
  Filebuf fb;
  std::string piece(1000, 'x');
  std::set<const char *> storages;
  for (int i = 0; i < 16000; i++) {
    fb.Add(piece);
    storages.insert(fb.data());
  }
  EXPECT_EQ(fb.length(), 16000000u);
  EXPECT_LT(storages.size(), 30u);
}

TEST(FilebufGrowth, ShortenAndDupTrimCapacityToLength) {
  Filebuf fb = make("hello world");
  EXPECT_EQ(fb.capacity(), 65536u);
  Filebuf copy = fb.Dup();
  EXPECT_EQ(copy.capacity(), copy.length());
  EXPECT_EQ(str(copy), "hello world");
  copy.Add("!", 1);  // the copy is independent
  EXPECT_EQ(str(fb), "hello world");
  fb.Shorten();
  EXPECT_EQ(fb.capacity(), 11u);
  EXPECT_EQ(str(fb), "hello world");
  Filebuf empty;
  empty.Shorten();
  EXPECT_EQ(empty.capacity(), 0u);
}

TEST_F(FilebufLog, DupOfAnEmptyBufferIsEmptyAndLogged) {
  Filebuf fb;
  Filebuf copy = fb.Dup();
  EXPECT_EQ(copy.length(), 0u);
  EXPECT_EQ(copy.data(), nullptr);
  EXPECT_TRUE(logged("duplicated a 0 size Filebuf"));
}

TEST(Filebuf, AddfCutsAtTheScratchSize) {
  struct Case {
    std::size_t produced, appended;
  };
  for (Case c : {Case{5, 5}, Case{16383, 16383}, Case{16384, 16383}, Case{20000, 16383}}) {
    Filebuf fb = make("<");
    fb.Addf("%s", std::string(c.produced, 'a').c_str());
    EXPECT_EQ(fb.length(), 1 + c.appended) << c.produced;
    EXPECT_EQ(fb.data()[0], '<');
    EXPECT_EQ(fb.data()[fb.length() - 1], 'a');
  }
  Filebuf fb;
  fb.Addf("%d-%s-%zu", 42, "x", static_cast<std::size_t>(7));
  EXPECT_EQ(str(fb), "42-x-7");
  EXPECT_EQ(fb.capacity(), 65536u);
}

TEST(Filebuf, ReplaceMovesTheTail) {
  struct Case {
    const char *before;
    std::size_t start, end;
    const char *text;
    bool ok;
    const char *after;
  };
  const Case cases[] = {
      {"hello world", 0, 5, "HOWDY", true, "HOWDY world"},
      {"hello world", 0, 5, "hi", true, "hi world"},
      {"hello world", 6, 11, "everybody out there", true, "hello everybody out there"},
      {"hello world", 5, 5, ",", true, "hello, world"},
      {"hello world", 0, 11, "", true, ""},
      {"hello world", 11, 11, "!", true, "hello world!"},
      {"hello world", 6, 5, "x", false, "hello world"},
      {"hello world", 3, 12, "x", false, "hello world"},
  };
  for (const auto &c : cases) {
    Filebuf fb = make(c.before);
    EXPECT_EQ(fb.Replace(c.start, c.end, c.text), c.ok) << c.before << " " << c.start;
    EXPECT_EQ(str(fb), c.after) << c.start << "-" << c.end << " by " << c.text;
  }
}

TEST(Filebuf, ReplaceAcrossAStepKeepsEverything) {
  std::string text = random_bytes(65530);
  Filebuf fb = make(text);
  std::string big(100, 'Z');
  ASSERT_TRUE(fb.Replace(10, 12, big));
  EXPECT_EQ(str(fb), text.substr(0, 10) + big + text.substr(12));
}

TEST(Filebuf, SourcesInsideTheBufferSurviveGrowth) {
  // Each of these grows past the capacity, which moves the storage the source lies in.
  const std::string text = random_bytes(40000);
  Filebuf fb = make(text);
  fb.Add(fb.data(), fb.length());
  EXPECT_EQ(str(fb), text + text);

  Filebuf words = make(std::string(50000, 'w'));
  words.Add("", 1);  // NUL-terminated for %s
  words.Addf("%s", words.data());
  EXPECT_EQ(words.length(), 50001u + FILEBUF_ADDF_MAX - 1);
  EXPECT_EQ(std::string(words.data() + 50001, 5), "wwwww");

  Filebuf rep = make(text);
  ASSERT_TRUE(rep.Replace(0, 1, std::string_view(rep.data(), 30000)));
  EXPECT_EQ(str(rep), text.substr(0, 30000) + text.substr(1));
}

TEST(Filebuf, SwapTakesOverTheStorage) {
  Filebuf a = make("aaa"), b = make("bbbb");
  const char *storage = b.data();
  a.Swap(&b);
  EXPECT_EQ(str(a), "bbbb");
  EXPECT_EQ(a.data(), storage);
  EXPECT_EQ(b.length(), 0u);
  EXPECT_EQ(b.capacity(), 0u);
  a.Swap(nullptr);
  EXPECT_EQ(a.length(), 0u);
  EXPECT_EQ(a.data(), nullptr);
}

TEST(Filebuf, ToStackSplitsLines) {
  struct Case {
    std::string text;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"a\nb\n", {"a", "b"}},
      {"a\r\nb", {"a\r", "b"}},
      {"single", {"single"}},
      {"\n\nx", {"", "", "x"}},
      {"", {}},
  };
  for (const auto &c : cases) {
    STACK_T stack = make(c.text).to_stack();
    EXPECT_EQ(std::vector<std::string>(stack.begin(), stack.end()), c.lines) << c.text;
  }
  EXPECT_TRUE(Filebuf().to_stack().empty());
}

// ---- files -------------------------------------------------------------------------------

TEST(FilebufFiles, SaveReplacesThroughATemporaryFile) {
  TempDir dir;
  std::string path = dir.file("journal");
  spit(path, "old content that is longer");
  ::chmod(path.c_str(), 0600);
  Filebuf fb = make(std::string("new\0content", 11));
  ASSERT_TRUE(fb.Save(path));
  EXPECT_EQ(slurp(path), std::string("new\0content", 11));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Nothing but the saved file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  EXPECT_FALSE(fb.Save(dir.file("missing/folder/file")));
}

TEST(FilebufFiles, SaveToDescriptorWritesEverything) {
  TempDir dir;
  std::string path = dir.file("out");
  int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  std::string text = random_bytes(300000);
  EXPECT_EQ(make(text).Save(fd), static_cast<ssize_t>(text.size()));
  ::close(fd);
  EXPECT_EQ(slurp(path), text);
}

TEST(FilebufFiles, ReadAppendsTheWholeFileWithinTheLimit) {
  TempDir dir;
  std::string path = dir.file("in");
  std::string text = random_bytes(100000);
  spit(path, text);
  Filebuf fb = make("head:");
  EXPECT_EQ(fb.Read(path.c_str()), 100000);
  EXPECT_EQ(str(fb), "head:" + text);

  Filebuf limited = make("head:");
  EXPECT_EQ(limited.Read(path.c_str(), 99999), -1);
  EXPECT_EQ(str(limited), "head:");
  EXPECT_EQ(limited.Read(path.c_str(), 100000), 100000);

  EXPECT_EQ(fb.Read(dir.file("absent").c_str()), -1);
}

// ---- content coding ----------------------------------------------------------------------

TEST(FilebufCoding, CompressRoundTrips) {
  struct Case {
    std::string content;
    bool compressible;
  };
  const Case cases[] = {{"", false},
                        {"x", false},
                        {"hello, hello, hello", false},
                        {sample_text(300000), true},
                        {random_bytes(70000), false},
                        {std::string(1 << 20, '\0'), true}};
  for (int type : {FILEBUF_GZIP, FILEBUF_DEFLATE}) {
    for (const auto &c : cases) {
      Filebuf fb = make(c.content);
      ASSERT_TRUE(fb.Compress(type)) << type << " " << c.content.size();
      if (c.compressible) {
        EXPECT_LT(fb.length(), c.content.size() / 4);
      }
      EXPECT_EQ(fb.capacity(), fb.length());
      ASSERT_TRUE(fb.Uncompress(type, c.content.size())) << type << " " << c.content.size();
      EXPECT_EQ(str(fb), c.content) << type << " " << c.content.size();
    }
  }
}

TEST(FilebufCoding, GzipOutputIsWhatGzipReads) {
  TempDir dir;
  std::string content = sample_text(50000);
  Filebuf fb = make(content);
  ASSERT_TRUE(fb.Compress(FILEBUF_GZIP));
  const unsigned char header[] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
  ASSERT_GE(fb.length(), sizeof header);
  EXPECT_EQ(std::memcmp(fb.data(), header, sizeof header), 0);
  std::string gz = dir.file("ours.gz");
  spit(gz, str(fb));
  std::string cmd = "gzip -dc '" + gz + "' > '" + dir.file("ours") + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(slurp(dir.file("ours")), content);
}

TEST(FilebufCoding, DeflateOutputIsZlibWrapped) {
  std::string content = sample_text(40000);
  Filebuf fb = make(content);
  ASSERT_TRUE(fb.Compress(FILEBUF_DEFLATE));
  std::string out(content.size(), '\0');
  uLongf out_len = out.size();
  ASSERT_EQ(uncompress(reinterpret_cast<Bytef *>(out.data()), &out_len,
                       reinterpret_cast<const Bytef *>(fb.data()), fb.length()),
            Z_OK);
  out.resize(out_len);
  EXPECT_EQ(out, content);
}

TEST(FilebufCoding, DecodesWhatTheGzipCommandWrites) {
  TempDir dir;
  std::string a = sample_text(20000, 3), b = sample_text(30000, 4);
  // A named file: gzip stores its name (FNAME) and time stamp in the header.
  std::string named = run_gzip(dir, "index.html", a, "-N -9");
  ASSERT_GT(named.size(), 10u);
  EXPECT_TRUE(static_cast<unsigned char>(named[3]) & 0x08) << "no file name in the header";
  std::string second = run_gzip(dir, "second.txt", b, "-n -1");
  struct Case {
    const char *name;
    std::string input, output;
  };
  const Case cases[] = {
      {"named member", named, a},
      {"member without name", second, b},
      {"two members", named + second, a + b},
      {"zero padding after the member", named + std::string(16, '\0'), a},
  };
  for (const auto &c : cases) {
    Filebuf fb = make(c.input);
    ASSERT_TRUE(fb.Uncompress(FILEBUF_GZIP, 1 << 20)) << c.name;
    EXPECT_EQ(str(fb), c.output) << c.name;
  }
}

TEST(FilebufCoding, DecodesEveryOptionalHeaderField) {
  std::string content = sample_text(5000);
  Filebuf fb = make(gzip_member_all_fields(content));
  ASSERT_TRUE(fb.Uncompress(FILEBUF_GZIP, content.size()));
  EXPECT_EQ(str(fb), content);
}

TEST(FilebufCoding, DeflateAcceptsZlibWrappedAndRaw) {
  std::string content = sample_text(30000, 9);
  std::string wrapped(compressBound(content.size()), '\0');
  uLongf wlen = wrapped.size();
  ASSERT_EQ(compress2(reinterpret_cast<Bytef *>(wrapped.data()), &wlen,
                      reinterpret_cast<const Bytef *>(content.data()), content.size(), 6),
            Z_OK);
  wrapped.resize(wlen);
  for (const std::string &input : {wrapped, raw_deflate(content)}) {
    Filebuf fb = make(input);
    ASSERT_TRUE(fb.Uncompress(FILEBUF_DEFLATE, 1 << 20));
    EXPECT_EQ(str(fb), content);
  }
}

TEST_F(FilebufLog, CorruptInputIsRefusedAndKept) {
  std::string content = sample_text(20000, 5);
  Filebuf good = make(content);
  ASSERT_TRUE(good.Compress(FILEBUF_GZIP));
  const std::string gz = str(good);
  Filebuf zgood = make(content);
  ASSERT_TRUE(zgood.Compress(FILEBUF_DEFLATE));
  const std::string zl = str(zgood);

  auto flip = [](std::string s, std::size_t pos) {
    s[pos] = static_cast<char>(s[pos] ^ 0x01);
    return s;
  };
  struct Case {
    const char *name;
    int type;
    std::string input;
    const char *log;  // expected log text, null when any refusal will do
  };
  const Case cases[] = {
      {"bad CRC", FILEBUF_GZIP, flip(gz, gz.size() - 8), "gzip: CRC or length mismatch"},
      {"bad length", FILEBUF_GZIP, flip(gz, gz.size() - 4), "gzip: CRC or length mismatch"},
      {"truncated body", FILEBUF_GZIP, gz.substr(0, gz.size() / 2), "zlib: unknown error 0"},
      {"truncated trailer", FILEBUF_GZIP, gz.substr(0, gz.size() - 3), "zlib: unknown error 0"},
      {"bad magic", FILEBUF_GZIP, flip(gz, 1), "gzip: invalid member header"},
      {"reserved flag", FILEBUF_GZIP, [&] { std::string s = gz; s[3] = '\x20'; return s; }(),
       "gzip: invalid member header"},
      {"bad header CRC", FILEBUF_GZIP, gzip_member_all_fields(content, false),
       "gzip: invalid member header"},
      {"garbage after the member", FILEBUF_GZIP, gz + "trailing", "gzip: invalid member header"},
      {"garbled stream", FILEBUF_GZIP, flip(gz, 40), nullptr},
      {"bad adler", FILEBUF_DEFLATE, flip(zl, zl.size() - 1), nullptr},
      {"truncated deflate", FILEBUF_DEFLATE, zl.substr(0, zl.size() / 2), nullptr},
      {"not compressed", FILEBUF_DEFLATE, "plain text, not deflate at all", nullptr},
  };
  for (const auto &c : cases) {
    log_.clear();
    Filebuf fb = make(c.input);
    EXPECT_FALSE(fb.Uncompress(c.type, 1 << 20)) << c.name;
    EXPECT_EQ(str(fb), c.input) << c.name;
    if (c.log) {
      EXPECT_TRUE(logged(c.log)) << c.name;
    }
    EXPECT_GT(static_cast<int>(log_.lines().size()), 0) << c.name;
  }
}

TEST_F(FilebufLog, TinyGzipIsRefusedSilently) {
  Filebuf fb = make(std::string(17, '\x1f'));
  EXPECT_FALSE(fb.Uncompress(FILEBUF_GZIP, 1000));
  EXPECT_EQ(fb.length(), 17u);
  EXPECT_EQ(static_cast<int>(log_.lines().size()), 0);
}

TEST_F(FilebufLog, DecodedOutputIsCapped) {
  const std::string content(1 << 20, 'a');  // compresses a thousandfold
  for (int type : {FILEBUF_GZIP, FILEBUF_DEFLATE}) {
    Filebuf fb = make(content);
    ASSERT_TRUE(fb.Compress(type));
    const std::string packed = str(fb);
    log_.clear();
    EXPECT_FALSE(fb.Uncompress(type, content.size() - 1)) << type;
    EXPECT_EQ(str(fb), packed) << type;
    EXPECT_TRUE(logged("zlib: decoded content exceeds 1048575 bytes")) << type;
    EXPECT_TRUE(fb.Uncompress(type, content.size())) << type;
    EXPECT_EQ(fb.length(), content.size());
  }
  // The cap holds over all the members together.
  Filebuf one = make(std::string(600000, 'b'));
  ASSERT_TRUE(one.Compress(FILEBUF_GZIP));
  Filebuf two = make(str(one) + str(one));
  EXPECT_FALSE(two.Uncompress(FILEBUF_GZIP, 1000000));
  EXPECT_TRUE(two.Uncompress(FILEBUF_GZIP, 1200000));
}

TEST_F(FilebufLog, EncodeFollowsTheClientAndTheSetting) {
  struct Case {
    bool conn_decode;
    const char *accept;
    int compressout;
    bool encoded;
    const char *coding;
  };
  const Case cases[] = {
      {false, "gzip, deflate", 1, true, "gzip"},
      {false, "x-GZIP", 1, true, "gzip"},
      {false, "Deflate", 1, true, "deflate"},
      {false, "br", 1, false, ""},
      {false, nullptr, 1, false, ""},
      {false, "gzip", 0, false, ""},
      {true, "gzip", 1, false, ""},
  };
  const std::string content = sample_text(10000);
  for (const auto &c : cases) {
    Filebuf fb = make(content);
    std::string coding;
    EXPECT_EQ(fb.Encode(c.conn_decode, c.accept, c.compressout, &coding), c.encoded)
        << (c.accept ? c.accept : "(none)");
    EXPECT_EQ(coding, c.coding);
    if (!c.encoded) {
      EXPECT_EQ(str(fb), content);
      continue;
    }
    EXPECT_TRUE(fb.Decode(c.coding, content.size()));
    EXPECT_EQ(str(fb), content);
  }
}

TEST_F(FilebufLog, DecodeChoosesByContentEncoding) {
  const std::string content = sample_text(8000);
  Filebuf gz = make(content), df = make(content);
  ASSERT_TRUE(gz.Compress(FILEBUF_GZIP));
  ASSERT_TRUE(df.Compress(FILEBUF_DEFLATE));
  struct Case {
    const char *coding;
    std::string input;
    bool decoded;
    const char *log;
  };
  const Case cases[] = {
      {"gzip", str(gz), true, nullptr},
      {"X-Gzip", str(gz), true, nullptr},
      {"deflate", str(df), true, nullptr},
      {"gzip", str(df), false, "failed to decompress gzip encoded content"},
      {"deflate", "not deflate", false, "failed to decompress deflate encoded content"},
      {"br", str(gz), false, "unhandled content encoding: br"},
  };
  for (const auto &c : cases) {
    log_.clear();
    Filebuf fb = make(c.input);
    EXPECT_EQ(fb.Decode(c.coding, 1 << 20), c.decoded) << c.coding;
    EXPECT_EQ(str(fb), c.decoded ? content : c.input) << c.coding;
    if (c.log) {
      EXPECT_TRUE(logged(c.log)) << c.coding;
    }
  }
}

TEST_F(FilebufLog, ZlibErrorTexts) {
  struct Case {
    int code;
    const char *text;
  };
  const Case cases[] = {{Z_NEED_DICT, "zlib: dictionary error"},
                        {Z_STREAM_ERROR, "zlib: stream error"},
                        {Z_DATA_ERROR, "zlib: data error"},
                        {Z_MEM_ERROR, "zlib: memory error"},
                        {Z_BUF_ERROR, "zlib: buffer error"},
                        {-6, "zlib: unknown error -6"}};
  for (const auto &c : cases) {
    log_.clear();
    zlib_error(c.code);
    EXPECT_TRUE(logged(c.text)) << c.code;
  }
}

}  // namespace
