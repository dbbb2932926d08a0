// Hostile pictures and hostile trees through whole runs of pixelmote-batch,
// run as a separate process: every run ends normally, says exactly what it
// skipped or could not write, leaves no stray file and changes no original.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "batch/format.h"
#include "imaging/codec.h"
#include "imaging/geometry.h"
#include "util/path.h"
#include "testsupport/codec_testing.h"
#include "testsupport/hostile_corpus.h"
#include "testsupport/temp_tree.h"

namespace pixelmote::testing {
namespace {

using imaging::Raster;
using imaging::Rgb;
using imaging::Size;

const std::string kUnreadable = "Skipped unreadable picture ";
const std::string kCannotWrite = "Cannot write ";
const std::string kSeparator(40, '-');

// ---------------------------------------------------------------------------
// Files and trees

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void makeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) throw std::runtime_error("cannot create " + path);
}

void makeLink(const std::string& path, const std::string& target) {
  if (::symlink(target.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot link " + path);
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool isFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string stemOf(const std::string& name) { return name.substr(0, name.find('.')); }

// Every entry below `root`, not following symbolic links, relative to it
// and sorted: folders end in "/", links in "@", other non-files in "|".
std::vector<std::string> listTree(const std::string& root, const std::string& relative = "") {
  std::vector<std::string> out;
  DIR* dir = ::opendir((root + "/" + relative).c_str());
  if (dir == nullptr) return out;
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  for (const std::string& name : names) {
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    struct stat st {};
    if (::lstat((root + "/" + rel).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      out.push_back(rel + "/");
      const auto below = listTree(root, rel);
      out.insert(out.end(), below.begin(), below.end());
    } else {
      out.push_back(S_ISLNK(st.st_mode) ? rel + "@" : S_ISREG(st.st_mode) ? rel : rel + "|");
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The bytes of every regular file below `root`.
std::map<std::string, std::string> contentsOf(const std::string& root) {
  std::map<std::string, std::string> out;
  for (const std::string& rel : listTree(root)) {
    if (rel.back() != '/' && rel.back() != '@' && rel.back() != '|') out[rel] = readFile(root + "/" + rel);
  }
  return out;
}

// Names in `folder` that the program's temporary files would have: the
// bitmaps and the atomic writes of process `pid` (any process when 0).
std::vector<std::string> temporaryFiles(const std::string& folder, pid_t pid = 0) {
  std::vector<std::string> out;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return out;
  // With a pid, only that process's files: tests running beside this one
  // may be writing into the same folder.
  const std::string ofProcess = pid == 0 ? "" : std::to_string(pid) + "-";
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    const bool isBitmap =
        name.rfind("temp" + ofProcess, 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".bmp";
    const bool isWrite =
        name.rfind(".pm" + ofProcess, 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".tmp";
    if (isBitmap || isWrite) out.push_back(name);
  }
  ::closedir(dir);
  return out;
}

std::string programFolder() {
  const std::string exe = PIXELMOTE_BATCH_EXE;
  return exe.substr(0, exe.rfind('/'));
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string firstLineOf(const std::string& text) { return text.substr(0, text.find('\n')); }

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& start) {
  std::vector<std::string> out;
  for (const std::string& line : linesOf(text)) {
    if (line.rfind(start, 0) == 0) out.push_back(line);
  }
  return out;
}

// ---------------------------------------------------------------------------
// Running the batch command

struct Invocation {
  Invocation(std::vector<std::string> arguments, std::string homeFolder, std::vector<std::string> runner = {},
             std::string program = PIXELMOTE_BATCH_EXE)
      : args(std::move(arguments)), home(std::move(homeFolder)), wrapper(std::move(runner)), exe(std::move(program)) {}
  std::vector<std::string> args;
  std::string home;                  // HOME of the child
  std::vector<std::string> wrapper;  // a command that runs the program, e.g. setpriv
  std::string exe;
};

struct Outcome {
  pid_t pid = 0;     // the process that ran the program
  int exitCode = -1;
  int signal = 0;    // the signal that ended it, if any
  std::string out;
  std::string err;
};

// A started child whose output goes into two files.
class Child {
 public:
  explicit Child(const Invocation& call) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, m_capture.path("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, m_capture.path("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, "/");
    std::vector<std::string> argvStore = call.wrapper;
    argvStore.push_back(call.exe);
    argvStore.insert(argvStore.end(), call.args.begin(), call.args.end());
    std::vector<char*> argv;
    for (auto& a : argvStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore{"LC_ALL=C", "PATH=/usr/bin:/bin", "HOME=" + call.home};
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) m_pid = 0;
  }

  Outcome wait() {
    Outcome outcome;
    outcome.pid = m_pid;
    if (m_pid == 0) return outcome;
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
    outcome.out = m_capture.read("out");
    outcome.err = m_capture.read("err");
    return outcome;
  }

 private:
  TempTree m_capture;
  pid_t m_pid = 0;
};

Outcome runBatch(const Invocation& call) { return Child(call).wait(); }

// A run ended normally and printed its separator and totals; its exit
// status is 1 exactly when it skipped a picture or could not write a file,
// and standard error holds one "pixelmote-batch: PATH: REASON" line for each
// such status line, in the same order, and nothing else.
::testing::AssertionResult ranToTheEnd(const Outcome& o) {
  if (o.pid == 0) return ::testing::AssertionFailure() << "the program did not start";
  if (o.signal != 0) return ::testing::AssertionFailure() << "killed by signal " << o.signal << "\n" << o.err;
  const auto lines = linesOf(o.out);
  if (lines.size() < 2 || lines[lines.size() - 2] != kSeparator) {
    return ::testing::AssertionFailure() << "no separator and totals:\n" << o.out;
  }
  std::vector<std::string> problems;
  for (const std::string& line : lines) {
    for (const std::string& lead : {kUnreadable, kCannotWrite}) {
      if (line.rfind(lead, 0) == 0) problems.push_back("pixelmote-batch: " + line.substr(lead.size()) + ": ");
    }
  }
  const int expectedExit = problems.empty() ? 0 : 1;
  if (o.exitCode != expectedExit) {
    return ::testing::AssertionFailure() << "exit status " << o.exitCode << ", expected " << expectedExit << "\n" << o.err;
  }
  const auto errLines = linesOf(o.err);
  if (errLines.size() != problems.size()) {
    return ::testing::AssertionFailure() << problems.size() << " problems in the status lines, but standard error is:\n" << o.err;
  }
  for (std::size_t i = 0; i < problems.size(); ++i) {
    if (errLines[i].rfind(problems[i], 0) != 0 || errLines[i].size() == problems[i].size()) {
      return ::testing::AssertionFailure() << "expected " << problems[i] << "REASON, got " << errLines[i];
    }
  }
  return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// Pages and their links

std::string htmlUnescape(const std::string& s) {
  static const std::pair<const char*, char> kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&#39;", '\''}, {"&quot;", '"'}};
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    bool replaced = false;
    for (const auto& [entity, c] : kEntities) {
      if (s.compare(i, std::strlen(entity), entity) == 0) {
        out += c;
        i += std::strlen(entity);
        replaced = true;
        break;
      }
    }
    if (!replaced) out += s[i++];
  }
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string percentDecode(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// The file a link value of a page in `folder` names, as a browser reads it:
// entities undone, spaces and control bytes at either end dropped, tabs and
// line breaks dropped anywhere, cut at "#" or "?", backslashes as slashes,
// then percent-decoded; "." and ".." resolved lexically.
std::string linkTarget(const std::string& folder, const std::string& value) {
  std::string path = htmlUnescape(value);
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  while (!path.empty() && blank(path.front())) path.erase(path.begin());
  while (!path.empty() && blank(path.back())) path.pop_back();
  std::erase_if(path, [](char c) { return c == '\t' || c == '\n' || c == '\r'; });
  path = path.substr(0, path.find_first_of("#?"));  // a fragment or a query is not part of the file's name
  std::replace(path.begin(), path.end(), '\\', '/');
  path = folder + "/" + percentDecode(path);
  std::vector<std::string> parts;
  std::size_t at = 1;
  while (at <= path.size()) {
    const std::size_t slash = std::min(path.find('/', at), path.size());
    const std::string part = path.substr(at, slash - at);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    at = slash + 1;
  }
  std::string resolved;
  for (const std::string& p : parts) resolved += "/" + p;
  return resolved;
}

// The values of the page's href and src attributes, in order.
std::vector<std::pair<std::string, std::string>> attributesOf(const std::string& html) {
  std::vector<std::pair<std::string, std::string>> out;
  for (std::size_t at = 0; at < html.size(); ++at) {
    for (const char* attr : {"href=", "src="}) {
      const std::size_t n = std::strlen(attr);
      if (html.compare(at, n, attr) != 0 || at + n >= html.size()) continue;
      const char quote = html[at + n];
      const std::size_t end = html.find(quote, at + n + 1);
      if ((quote != '\'' && quote != '"') || end == std::string::npos) continue;
      out.emplace_back(std::string(attr, n - 1), html.substr(at + n + 1, end - at - n - 1));
    }
  }
  return out;
}

struct Cell {
  std::string picture;    // the file the cell's link names
  std::string thumbnail;  // the file its image shows
};

// The page's cells: each link that holds an image.
std::vector<Cell> cellsOf(const std::string& folder, const std::string& html) {
  std::vector<Cell> cells;
  const auto attrs = attributesOf(html);
  for (std::size_t i = 0; i + 1 < attrs.size(); ++i) {
    if (attrs[i].first == "href" && attrs[i + 1].first == "src") {
      cells.push_back({linkTarget(folder, attrs[i].second), linkTarget(folder, attrs[i + 1].second)});
    }
  }
  return cells;
}

// Every link of every page below `root` that leads to no file, or out of the tree.
std::vector<std::string> brokenLinks(const std::string& root, const std::set<std::string>& allowedMissing = {}) {
  std::vector<std::string> broken;
  for (const std::string& rel : listTree(root)) {
    const std::string name = rel.substr(rel.rfind('/') + 1);
    if (name != "index.html") continue;
    const std::string folder = rel == "index.html" ? root : root + "/" + rel.substr(0, rel.rfind('/'));
    for (const auto& [attr, value] : attributesOf(readFile(folder + "/index.html"))) {
      const std::string target = linkTarget(folder, value);
      if (allowedMissing.count(target) != 0) continue;
      if (target.rfind(root + "/", 0) != 0 || !isFile(target)) {
        broken.push_back(rel + ": " + attr + "='" + value + "' -> " + target);
      }
    }
  }
  return broken;
}

// ---------------------------------------------------------------------------
// The corpus and the traps, written into folders

Raster tinyPicture(Rgb colour, Size size = {1, 1}) { return Raster(size, colour); }

std::string jpegOf(const Raster& raster) {
  auto bytes = imaging::encodeJpeg(raster, 80, 0);
  if (!bytes) throw std::runtime_error(bytes.message());
  return bytes.value();
}

// The corpus's JPEGs in `jpgFolder`, its GIFs in `gifFolder`.
void writeCorpus(const std::vector<CorpusFile>& corpus, const std::string& jpgFolder, const std::string& gifFolder) {
  makeFolder(jpgFolder);
  makeFolder(gifFolder);
  for (const CorpusFile& f : corpus) {
    const bool gif = f.name.substr(f.name.size() - 4) == ".gif";
    writeFile((gif ? gifFolder : jpgFolder) + "/" + f.name, f.bytes);
  }
}

const int kNestedFolders = 40;
const int kCrowdedPictures = 2000;
const std::string kLongestName = std::string(251, 'L') + ".jpg";  // 255 bytes; its thumbnail's name is 257
const std::string kLongName = std::string(246, 'l') + ".jpg";      // 250 bytes; its thumbnail's name is 252

// Names that must survive as file names, in page text and in links.
std::vector<std::string> oddNames() {
  return {"it's.jpg",
          "a & b.jpg",
          "&amp; already.jpg",
          "#1 hash.jpg",
          "100%.jpg",
          "%41 percent-escape.jpg",
          "why?.jpg",
          "back\\slash.jpg",
          "say \"cheese\".jpg",
          "<script>alert(1)<script>.jpg",
          "with  two spaces.jpg",
          " leading space.jpg",
          "\xF0\x9F\x98\x80 emoji.jpg",
          "not utf-8 \xFF\xFE.jpg",
          "latin-1 caf\xE9.jpg",
          "tab\there.jpg",
          "line\nbreak.jpg",
          "UPPER CASE.JPG",
          kLongName};
}

std::vector<std::string> oddFolderNames() {
  return {"it's & #1 %? \\", "<script>", "\xF0\x9F\x98\x80", "bad \xFF\xFE", " padded folder ", std::string(255, 'F')};
}

// A tree of traps for the walker and the pages, below `root` (which exists).
void writeTraps(const std::string& root) {
  const std::string red = jpegOf(tinyPicture({200, 30, 30}, {16, 12}));
  const std::string dot = jpegOf(tinyPicture({30, 30, 200}));
  writeFile(root + "/a.jpg", red);
  makeLink(root + "/linked.jpg", "a.jpg");
  makeLink(root + "/dangling.jpg", "missing.jpg");
  writeFile(root + "/.hidden.jpg", red);
  makeFolder(root + "/.hidden");
  writeFile(root + "/.hidden/p.jpg", red);
  makeFolder(root + "/folder.jpg");
  writeFile(root + "/folder.jpg/p.jpg", red);
  if (::mkfifo((root + "/fifo.jpg").c_str(), 0644) != 0) throw std::runtime_error("cannot make a pipe");
  makeLink(root + "/fifo-link.jpg", "fifo.jpg");
  makeFolder(root + "/loop");
  writeFile(root + "/loop/p.jpg", red);
  makeLink(root + "/loop/up", "..");
  makeLink(root + "/loop/self", ".");
  makeLink(root + "/loop/absolute", root);

  std::string deep = root + "/deep";
  for (int i = 1; i <= kNestedFolders; ++i) {
    makeFolder(deep);
    deep += "/d" + std::to_string(i);
  }
  makeFolder(deep);
  writeFile(deep + "/bottom.jpg", red);

  makeFolder(root + "/crowded");
  for (int i = 0; i < kCrowdedPictures; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/crowded/p%04d.jpg", i);
    writeFile(root + name, dot);
  }

  makeFolder(root + "/names");
  for (const std::string& name : oddNames()) writeFile(root + "/names/" + name, red);
  writeFile(root + "/names/" + kLongestName, red);
  for (const std::string& folder : oddFolderNames()) {
    makeFolder(root + "/names/" + folder);
    writeFile(root + "/names/" + folder + "/inside.jpg", red);
  }
}

bool isHidden(const std::string& rel) { return rel[0] == '.' || rel.find("/.") != std::string::npos; }

// What a Create run adds to a listing made by listTree: a thumbnail beside
// every picture (a name ending in .jpg in any letter case that is or leads
// to a file, not hidden, in a folder that is walked), except those named in
// `unwritable`, and a page in every walked folder.
std::vector<std::string> afterCreate(const std::string& root, const std::vector<std::string>& before,
                                     const std::set<std::string>& unwritable) {
  std::vector<std::string> out = before;
  out.push_back("index.html");
  for (const std::string& entry : before) {
    if (isHidden(entry)) continue;
    if (entry.back() == '/') {
      out.push_back(entry + "index.html");
      continue;
    }
    const bool link = entry.back() == '@';
    const std::string rel = link ? entry.substr(0, entry.size() - 1) : entry;
    const std::size_t slash = rel.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : rel.substr(0, slash + 1);
    const std::string name = rel.substr(folder.size());
    if (name.size() < 4 || util::asciiLower(name.substr(name.size() - 4)) != ".jpg") continue;
    struct stat st {};
    if (::stat((root + "/" + rel).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (unwritable.count(rel) != 0) continue;
    out.push_back(folder + "t_" + stemOf(name) + ".jpg");
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

// ---------------------------------------------------------------------------

bool isGif(const std::string& name) { return name.size() > 4 && name.substr(name.size() - 4) == ".gif"; }

// Files whose declared size alone is beyond the pixel limit.
bool isBomb(const CorpusFile& f) {
  return f.name.rfind("bomb-", 0) == 0 || f.name == "screen-65535.gif" || f.name == "frame-65535.gif" ||
         f.name == "pixels-over-2-28.jpg";
}

// Counts what a decoder delivers without keeping it.
class CountingSink : public imaging::RowSink {
 public:
  bool begin(Size, Size, const imaging::Coverage&) override {
    ++begins;
    return true;
  }
  void row(int, const std::uint8_t*) override { ++rows; }
  int begins = 0;
  long rows = 0;
};

TEST(HostileCorpus, IsTheSameEveryTimeWithUniqueNamesOfBothSourceTypes) {
  const auto first = hostileCorpus();
  const auto second = hostileCorpus();
  ASSERT_EQ(first.size(), second.size());
  std::set<std::string> stems[2];
  int readable = 0;
  for (std::size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(first[i].name, second[i].name);
    EXPECT_TRUE(first[i].bytes == second[i].bytes) << first[i].name;
    EXPECT_FALSE(first[i].what.empty()) << first[i].name;
    EXPECT_TRUE(stems[isGif(first[i].name)].insert(stemOf(first[i].name)).second) << first[i].name;
    EXPECT_NE(first[i].name.substr(0, 2), "t_");
    readable += first[i].readable;
  }
  EXPECT_GE(stems[0].size(), 30u);
  EXPECT_GE(stems[1].size(), 20u);
  EXPECT_GT(readable, 0);
  EXPECT_LT(readable, static_cast<int>(first.size()));
}

// The flags say what the decoders do: a readable file decodes whole, an
// unreadable one fails, and a declared bomb fails before a row is offered.
TEST(HostileCorpus, DecodersAgreeWithTheReadableFlags) {
  for (const CorpusFile& f : hostileCorpus()) {
    SCOPED_TRACE(f.name + ": " + f.what);
    const auto decode = isGif(f.name) ? imaging::decodeGif : imaging::decodeJpeg;
    CountingSink sink;
    const util::Status status = decode(bytesOf(f.bytes), imaging::DecodeRequest{}, sink);
    EXPECT_EQ(status.ok(), f.readable) << status.message();
    if (f.readable) {
      EXPECT_EQ(sink.begins, 1);
    }
    if (isBomb(f)) {
      EXPECT_EQ(sink.begins, 0);
      EXPECT_NE(status.message().find("too large"), std::string::npos) << status.message();
    }
  }
}

const CorpusFile& corpusFile(const std::vector<CorpusFile>& corpus, const std::string& name) {
  const auto it = std::find_if(corpus.begin(), corpus.end(), [&](const CorpusFile& f) { return f.name == name; });
  if (it == corpus.end()) throw std::runtime_error("no " + name + " in the corpus");
  return *it;
}

// Odd bytes the decoder tolerates change no pixel: these files hold the
// same picture as one with junk after its end marker.
TEST(HostileCorpus, ToleratedOddBytesGiveThePicturesPixels) {
  const auto corpus = hostileCorpus();
  const Decoded reference = decodeWith(imaging::decodeJpeg, corpusFile(corpus, "trailing-bytes.jpg").bytes);
  ASSERT_TRUE(reference.status.ok()) << reference.status.message();
  for (const char* name : {"stray-bytes-before-marker.jpg", "stray-bytes-before-end.jpg", "no-end-marker.jpg"}) {
    SCOPED_TRACE(name);
    const Decoded d = decodeWith(imaging::decodeJpeg, corpusFile(corpus, name).bytes);
    ASSERT_TRUE(d.status.ok()) << d.status.message();
    EXPECT_TRUE(d.raster == reference.raster);
  }
}

// ---------------------------------------------------------------------------
// The corpus through Report, Create, Report and Remove

class HostileCorpusRun : public ::testing::Test {
 protected:
  struct Part {
    std::string folder;
    std::string source;
    std::string thumb;
    std::vector<CorpusFile> files;
  };

  void SetUp() override {
    m_home = m_tree.folder("home");
    const auto corpus = hostileCorpus();
    for (const CorpusFile& f : corpus) (isGif(f.name) ? m_gif : m_jpg).files.push_back(f);
    m_jpg.folder = m_tree.path("pictures/jpg");
    m_jpg.source = "jpg";
    m_jpg.thumb = "jpg";
    m_gif.folder = m_tree.path("pictures/gif");
    m_gif.source = "gif";
    m_gif.thumb = "gif";  // the GIF writer gets the odd shapes too
    makeFolder(m_tree.path("pictures"));
    writeCorpus(corpus, m_jpg.folder, m_gif.folder);
    m_originals = contentsOf(m_tree.path("pictures"));
    m_listing = listTree(m_tree.path("pictures"));
  }

  Outcome run(const std::string& operation, const Part& part) {
    const Outcome o = runBatch({{operation, part.folder, "--source", part.source, "--thumb", part.thumb}, m_home});
    EXPECT_TRUE(ranToTheEnd(o)) << operation << " " << part.folder;
    EXPECT_EQ(temporaryFiles(programFolder(), o.pid), std::vector<std::string>{}) << "left in the program's folder";
    EXPECT_EQ(temporaryFiles(m_home + "/.config/pixelmote"), std::vector<std::string>{});
    EXPECT_EQ(changedOriginals(), std::vector<std::string>{}) << "after " << operation;
    return o;
  }

  // Originals that are gone or no longer hold their bytes.
  std::vector<std::string> changedOriginals() const {
    std::vector<std::string> changed;
    for (const auto& [rel, bytes] : m_originals) {
      const std::string path = m_tree.path("pictures/" + rel);
      if (!exists(path) || readFile(path) != bytes) changed.push_back(rel);
    }
    return changed;
  }

  static std::string thumbnailName(const Part& part, const CorpusFile& f) {
    return "t_" + stemOf(f.name) + "." + part.thumb;
  }

  static std::int64_t pictureBytes(const Part& part) {
    std::int64_t sum = 0;
    for (const CorpusFile& f : part.files) sum += static_cast<std::int64_t>(f.bytes.size());
    return sum;
  }

  std::string firstLine(const Part& part, std::int64_t thumbBytes) const {
    const auto english = batch::NumberFormat::english();
    return part.folder + ": 0 folders, " + std::to_string(part.files.size()) + " files (" +
           batch::funBytes(pictureBytes(part), english) + " [" + batch::funBytes(thumbBytes, english) + "])";
  }

  void checkCreated(const Part& part, const Outcome& o) {
    SCOPED_TRACE(part.folder);
    std::set<std::string> expectedSkips;
    std::set<std::string> readable;
    std::int64_t thumbBytes = 0;
    for (const CorpusFile& f : part.files) {
      SCOPED_TRACE(f.name + ": " + f.what);
      const std::string thumb = part.folder + "/" + thumbnailName(part, f);
      if (!f.readable) {
        expectedSkips.insert(kUnreadable + part.folder + "/" + f.name);
        EXPECT_FALSE(exists(thumb));
        continue;
      }
      readable.insert(f.name);
      ASSERT_TRUE(exists(thumb));
      const std::string bytes = readFile(thumb);
      thumbBytes += static_cast<std::int64_t>(bytes.size());
      const Decoded d = decodeWith(part.thumb == "gif" ? imaging::decodeGif : imaging::decodeJpeg, bytes);
      EXPECT_TRUE(d.status.ok()) << d.status.message();
    }
    // One line per unreadable picture, none for the others, nothing else.
    const auto skips = linesStartingWith(o.out, kUnreadable);
    EXPECT_EQ(skips.size(), expectedSkips.size()) << o.out;
    EXPECT_EQ(std::set<std::string>(skips.begin(), skips.end()), expectedSkips);
    EXPECT_EQ(linesStartingWith(o.out, kCannotWrite), std::vector<std::string>{});
    const auto lines = linesOf(o.out);
    EXPECT_EQ(lines.size(), expectedSkips.size() + 3) << o.out;
    EXPECT_EQ(linesStartingWith(o.out, part.folder + ": "),
              (std::vector<std::string>{firstLine(part, thumbBytes), firstLine(part, thumbBytes) + " - " +
                                            batch::sizeFigure(thumbBytes, pictureBytes(part),
                                                              batch::NumberFormat::english()) + "%"}));

    // A cell for every readable picture, showing its thumbnail.
    std::set<std::string> celled;
    for (const Cell& cell : cellsOf(part.folder, readFile(part.folder + "/index.html"))) {
      const std::string name = cell.picture.substr(part.folder.size() + 1);
      EXPECT_TRUE(celled.insert(name).second) << "two cells for " << name;
      EXPECT_EQ(cell.picture, part.folder + "/" + name);
      EXPECT_EQ(cell.thumbnail, part.folder + "/t_" + stemOf(name) + "." + part.thumb);
    }
    EXPECT_EQ(celled, readable);
  }

  std::vector<std::string> listingAfterCreate() const {
    std::vector<std::string> expected = m_listing;
    for (const Part* part : {&m_jpg, &m_gif}) {
      const std::string dir = part->source + "/";
      expected.push_back(dir + "index.html");
      for (const CorpusFile& f : part->files) {
        if (f.readable) expected.push_back(dir + thumbnailName(*part, f));
      }
    }
    std::sort(expected.begin(), expected.end());
    return expected;
  }

  TempTree m_tree;
  std::string m_home;
  Part m_jpg;
  Part m_gif;
  std::map<std::string, std::string> m_originals;
  std::vector<std::string> m_listing;
};

TEST_F(HostileCorpusRun, ReportCreateReportRemoveSayWhatTheySkipAndLeaveNothingStray) {
  for (const Part* part : {&m_jpg, &m_gif}) {
    const Outcome o = run("report", *part);
    EXPECT_EQ(firstLineOf(o.out), firstLine(*part, 0));
    EXPECT_EQ(linesStartingWith(o.out, kUnreadable), std::vector<std::string>{});
  }
  EXPECT_EQ(listTree(m_tree.path("pictures")), m_listing);

  for (const Part* part : {&m_jpg, &m_gif}) checkCreated(*part, run("create", *part));
  EXPECT_EQ(joined(listTree(m_tree.path("pictures"))), joined(listingAfterCreate()));
  EXPECT_EQ(brokenLinks(m_tree.path("pictures")), std::vector<std::string>{});

  for (const Part* part : {&m_jpg, &m_gif}) {
    std::int64_t thumbBytes = 0;
    for (const CorpusFile& f : part->files) {
      if (f.readable) thumbBytes += static_cast<std::int64_t>(readFile(part->folder + "/" + thumbnailName(*part, f)).size());
    }
    const Outcome o = run("report", *part);
    EXPECT_EQ(firstLineOf(o.out), firstLine(*part, thumbBytes));
  }

  for (const Part* part : {&m_jpg, &m_gif}) run("remove", *part);
  EXPECT_EQ(joined(listTree(m_tree.path("pictures"))), joined(m_listing));
  EXPECT_TRUE(contentsOf(m_tree.path("pictures")) == m_originals);
}

// ---------------------------------------------------------------------------
// Tree traps

TEST(HostileTrees, TrapsGiveOneLinePerUnwritableFileAndPagesWhoseLinksAllResolve) {
  TempTree tree;
  const std::string home = tree.folder("home");
  const std::string root = tree.folder("traps");
  writeTraps(root);
  const auto before = listTree(root);
  const auto originals = contentsOf(root);

  const Outcome created = runBatch({{"create", root}, home});
  ASSERT_TRUE(ranToTheEnd(created));
  EXPECT_EQ(temporaryFiles(programFolder(), created.pid), std::vector<std::string>{});
  EXPECT_EQ(linesStartingWith(created.out, kUnreadable), std::vector<std::string>{});
  EXPECT_EQ(linesStartingWith(created.out, kCannotWrite),
            std::vector<std::string>{kCannotWrite + root + "/names/t_" + stemOf(kLongestName) + ".jpg"});

  // One status line per folder that is neither hidden nor reached through
  // a link.
  std::set<std::string> walked{root};
  for (const std::string& entry : before) {
    if (entry.back() == '/' && !isHidden(entry)) walked.insert(root + "/" + entry.substr(0, entry.size() - 1));
  }
  std::set<std::string> statusFolders;
  const auto lines = linesOf(created.out);
  for (std::size_t i = 0; i + 2 < lines.size(); ++i) {
    if (lines[i].rfind(kCannotWrite, 0) == 0) continue;
    const std::size_t colon = lines[i].rfind(": ");
    ASSERT_NE(colon, std::string::npos) << lines[i];
    EXPECT_TRUE(statusFolders.insert(lines[i].substr(0, colon)).second) << "walked twice: " << lines[i];
  }
  EXPECT_EQ(statusFolders, walked);
  EXPECT_EQ(walked.size(), 1u + 1 + kNestedFolders + 1 + 1 + 1 + 1 + oddFolderNames().size());
  EXPECT_NE(created.out.find(root + "/crowded: 0 folders, " + std::to_string(kCrowdedPictures) + " files"),
            std::string::npos);
  EXPECT_NE(created.out.find(root + ": 5 folders, 2 files"), std::string::npos)
      << "the linked file counts; hidden names, the dangling link and pipes do not";

  // Thumbnails beside every picture (the linked one too), a page in every
  // folder, and nothing else.
  const std::set<std::string> unwritable{"names/" + kLongestName};
  EXPECT_EQ(joined(listTree(root)), joined(afterCreate(root, before, unwritable)));
  EXPECT_EQ(brokenLinks(root), std::vector<std::string>{});
  EXPECT_EQ(cellsOf(root + "/names", readFile(root + "/names/index.html")).size(), oddNames().size());
  const auto topCells = cellsOf(root, readFile(root + "/index.html"));
  ASSERT_EQ(topCells.size(), 2u) << "the picture and the link to it";
  EXPECT_EQ(topCells[1].picture, root + "/linked.jpg");
  EXPECT_EQ(topCells[1].thumbnail, root + "/t_linked.jpg");
  EXPECT_EQ(cellsOf(root + "/crowded", readFile(root + "/crowded/index.html")).size(),
            static_cast<std::size_t>(kCrowdedPictures));
  // The home link of the deepest page leads to the top page.
  std::string deepest = root + "/deep";
  for (int i = 1; i <= kNestedFolders; ++i) deepest += "/d" + std::to_string(i);
  const auto attrs = attributesOf(readFile(deepest + "/index.html"));
  ASSERT_FALSE(attrs.empty());
  EXPECT_EQ(linkTarget(deepest, attrs.front().second), root + "/index.html");
  // Page text never carries a name's markup as markup.
  EXPECT_EQ(readFile(root + "/names/index.html").find("<script>"), std::string::npos);

  const Outcome reported = runBatch({{"report", root}, home});
  ASSERT_TRUE(ranToTheEnd(reported));
  EXPECT_EQ(linesOf(reported.out).size(), walked.size() + 2) << "one line per folder, then the totals";
  EXPECT_NE(reported.out.find(root + "/crowded: 0 folders, " + std::to_string(kCrowdedPictures) + " files"),
            std::string::npos);

  const Outcome removed = runBatch({{"remove", root}, home});
  ASSERT_TRUE(ranToTheEnd(removed));
  EXPECT_EQ(joined(listTree(root)), joined(before));
  EXPECT_TRUE(contentsOf(root) == originals);
}

// ---------------------------------------------------------------------------
// Permissions: run as an unprivileged user, since root ignores them.

constexpr uid_t kNobody = 65534;
const char* const kSetpriv = "/usr/bin/setpriv";

std::vector<std::string> asNobody() {
  return {kSetpriv, "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
}

// Why the test cannot run the program at `exe` as another user here, or
// empty when it can: the program must start as that user and reach the
// test's folders (`home` among them), which takes every folder above them
// being open to others.
std::string whyNotAsNobody(const std::string& home, const std::string& exe) {
  if (::geteuid() != 0) return "needs root to run the program as user 65534 (root itself ignores permissions)";
  if (::access(kSetpriv, X_OK) != 0) return std::string(kSetpriv) + " is missing";
  Invocation probe{{"report", home}, home, asNobody(), exe};
  const Outcome o = runBatch(probe);
  if (o.exitCode != 0) return "user 65534 cannot run the program on the test's folders below " + home + ": " + o.err;
  return {};
}

void own(const std::string& path, mode_t mode) {
  if (::chown(path.c_str(), kNobody, kNobody) != 0 || ::chmod(path.c_str(), mode) != 0) {
    throw std::runtime_error("cannot hand " + path + " to user 65534");
  }
}

TEST(HostilePermissions, ReadOnlyAndUnreadablePlacesGiveOneLineEachAndNoFile) {
  TempTree tree;
  ::chmod(tree.root().c_str(), 0755);
  const std::string home = tree.folder("home");
  own(home, 0700);

  // A copy of the program beside the tree, since the build folder's parents
  // may be closed to others; it cannot write there, so its temporary bitmaps
  // go below HOME. When the temporary folder's own parents are closed to
  // others too, the test cannot run here.
  const std::string bin = tree.folder("bin");
  ::chmod(bin.c_str(), 0755);
  const std::string exe = bin + "/pixelmote-batch";
  writeFile(exe, readFile(PIXELMOTE_BATCH_EXE));
  ::chmod(exe.c_str(), 0755);
  if (const std::string why = whyNotAsNobody(home, exe); !why.empty()) GTEST_SKIP() << why;

  const std::string root = tree.folder("run");
  const std::string picture = jpegOf(tinyPicture({40, 160, 40}, {24, 16}));
  makeFolder(root + "/ok");
  writeFile(root + "/ok/a.jpg", picture);
  writeFile(root + "/ok/secret.jpg", picture);
  makeFolder(root + "/readonly");
  writeFile(root + "/readonly/b.jpg", picture);
  makeFolder(root + "/closed");
  writeFile(root + "/closed/c.jpg", picture);
  for (const char* file : {"/ok/a.jpg", "/readonly/b.jpg", "/closed/c.jpg"}) own(root + file, 0644);
  own(root + "/ok/secret.jpg", 0000);
  own(root, 0755);
  own(root + "/ok", 0755);
  own(root + "/readonly", 0555);
  own(root + "/closed", 0000);
  const auto before = listTree(root);

  const Outcome o = runBatch({{"create", root}, home, asNobody(), exe});
  ASSERT_TRUE(ranToTheEnd(o));
  EXPECT_EQ(linesStartingWith(o.out, kUnreadable), std::vector<std::string>{kUnreadable + root + "/ok/secret.jpg"});
  const auto cannot = linesStartingWith(o.out, kCannotWrite);
  EXPECT_EQ(std::set<std::string>(cannot.begin(), cannot.end()),
            (std::set<std::string>{kCannotWrite + root + "/closed/index.html",
                                   kCannotWrite + root + "/readonly/t_b.jpg",
                                   kCannotWrite + root + "/readonly/index.html"}));
  EXPECT_EQ(cannot.size(), 3u) << o.out;
  // The unreadable folder looks empty.
  EXPECT_NE(o.out.find("\n" + root + "/closed: 0 folders, 0 files (0 [0])\n"), std::string::npos) << o.out;

  // Only the writable places changed: a thumbnail and two pages.
  std::vector<std::string> expected = before;
  for (const char* added : {"index.html", "ok/index.html", "ok/t_a.jpg"}) expected.push_back(added);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(joined(listTree(root)), joined(expected));
  EXPECT_EQ(temporaryFiles(home + "/.config/pixelmote"), std::vector<std::string>{});
  EXPECT_EQ(temporaryFiles(root + "/ok"), std::vector<std::string>{});
  EXPECT_EQ(temporaryFiles(root + "/readonly"), std::vector<std::string>{});
  // The top page still links the folders whose pages could not be written.
  EXPECT_EQ(brokenLinks(root, {root + "/closed/index.html", root + "/readonly/index.html"}),
            std::vector<std::string>{});
}

// ---------------------------------------------------------------------------
// Two runs at once

TEST(HostileConcurrency, TwoRunsAtOnceGiveEveryThumbnailItsOwnPicturesColours) {
  TempTree tree;
  const std::string home = tree.folder("home");
  const Rgb red{230, 20, 20};
  const Rgb blue{20, 20, 230};
  const int kPictures = 24;
  for (const auto& [folder, colour] : {std::pair{"red", red}, std::pair{"blue", blue}}) {
    tree.folder(folder);
    for (int i = 0; i < kPictures; ++i) {
      tree.fileWith(std::string(folder) + "/p" + std::to_string(i) + ".jpg", jpegOf(tinyPicture(colour, {64, 48})));
    }
  }
  Child first({{"create", tree.path("red"), "--jobs", "2"}, home});
  Child second({{"create", tree.path("blue"), "--jobs", "2"}, home});
  const Outcome a = first.wait();
  const Outcome b = second.wait();
  ASSERT_TRUE(ranToTheEnd(a));
  ASSERT_TRUE(ranToTheEnd(b));
  EXPECT_EQ(temporaryFiles(programFolder(), a.pid), std::vector<std::string>{});
  EXPECT_EQ(temporaryFiles(programFolder(), b.pid), std::vector<std::string>{});

  for (const auto& [folder, colour] : {std::pair{"red", red}, std::pair{"blue", blue}}) {
    for (int i = 0; i < kPictures; ++i) {
      const std::string thumb = std::string(folder) + "/t_p" + std::to_string(i) + ".jpg";
      SCOPED_TRACE(thumb);
      const Decoded d = decodeWith(imaging::decodeJpeg, tree.read(thumb));
      ASSERT_TRUE(d.status.ok()) << d.status.message();
      EXPECT_EQ(d.raster.size, imaging::SizeThumb(25, {64, 48}));
      for (int y = 0; y < d.raster.size.height; ++y) {
        for (int x = 0; x < d.raster.size.width; ++x) {
          const Rgb p = d.raster.at(x, y);
          ASSERT_LE(std::abs(p.r - colour.r) + std::abs(p.g - colour.g) + std::abs(p.b - colour.b), 30)
              << "pixel " << x << "," << y << " is " << int{p.r} << "," << int{p.g} << "," << int{p.b};
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Not a check: writes the corpus and the traps into the folder named by
// PIXELMOTE_HOSTILE_TREE for tools/check_pages.sh (the large pictures too
// when PIXELMOTE_HOSTILE_LARGE is 1), with a list of the corpus's files.

TEST(HostileTreeExport, WritesTheTreesWhereTheEnvironmentSays) {
  const char* where = std::getenv("PIXELMOTE_HOSTILE_TREE");
  if (where == nullptr || where[0] != '/') {
    GTEST_SKIP() << "set PIXELMOTE_HOSTILE_TREE to an absolute folder to write the trees there";
  }
  const char* large = std::getenv("PIXELMOTE_HOSTILE_LARGE");
  const auto corpus = hostileCorpus(large != nullptr && std::string(large) == "1");
  const std::string root = where;
  makeFolder(root);
  makeFolder(root + "/corpus");
  writeCorpus(corpus, root + "/corpus/jpg", root + "/corpus/gif");
  std::string list;
  for (const CorpusFile& f : corpus) {
    list += f.name + "\t" + (f.readable ? "readable" : "unreadable") + "\t" + f.what + "\n";
  }
  writeFile(root + "/corpus.tsv", list);
  makeFolder(root + "/traps");
  writeTraps(root + "/traps");
  EXPECT_TRUE(exists(root + "/traps/crowded/p1999.jpg"));
}

}  // namespace
}  // namespace pixelmote::testing
