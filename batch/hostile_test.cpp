// Hostile pictures and hostile trees through whole runs of pixelmote-batch,
// run as a separate process: every run ends normally, prints exactly its
// golden transcript (one line per skipped picture or unwritable file),
// leaves no stray file and changes none of the user's files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "imaging/codec.h"
#include "imaging/geometry.h"
#include "testsupport/codec_testing.h"
#include "testsupport/golden.h"
#include "testsupport/hostile_corpus.h"
#include "testsupport/temp_tree.h"

namespace pixelmote::testing {
namespace {

namespace fs = std::filesystem;
using imaging::Rgb;

void writeFile(const std::string& path, const std::string& bytes) {
  if (!(std::ofstream(path, std::ios::binary) << bytes)) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string jpegOf(Rgb colour, imaging::Size size) {
  return imaging::encodeJpeg(imaging::Raster(size, colour), 80, 0).value();
}

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
    s.replace(at, from.size(), to);
  return s;
}

// Every entry below `root`, not following links, by its path relative to
// `root`: folders end in "/", links in "@" (holding their target), other
// non-files in "|"; files hold their bytes.
using Snapshot = std::map<std::string, std::string>;

Snapshot snapshot(const std::string& root) {
  Snapshot s;
  for (const auto& e : fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied)) {
    const std::string rel = e.path().string().substr(root.size() + 1);
    if (e.is_symlink()) {
      s[rel + "@"] = fs::read_symlink(e.path()).string();
    } else {
      s[e.is_directory() ? rel + "/" : e.is_regular_file() ? rel : rel + "|"] =
          e.is_regular_file() ? readFile(e.path()) : "";
    }
  }
  return s;
}

// One line per entry that differs: "+" added, "-" gone, "*" other bytes.
std::string changes(const Snapshot& before, const Snapshot& after) {
  std::string out;
  for (const auto& [name, bytes] : after) {
    const auto was = before.find(name);
    if (was == before.end() || was->second != bytes) out += (was == before.end() ? "+ " : "* ") + name + "\n";
  }
  for (const auto& [name, bytes] : before) {
    if (after.count(name) == 0) out += "- " + name + "\n";
  }
  return out;
}

// The temporary files (bitmaps, atomic writes) process `pid` left in `folder`:
// tests running beside this one may be writing into the same folder.
std::vector<std::string> temporaryFiles(const std::string& folder, pid_t pid) {
  std::vector<std::string> out;
  std::error_code noFolder;
  for (const auto& e : fs::directory_iterator(folder, noFolder)) {
    const std::string name = e.path().filename().string();
    if (name.starts_with("temp" + std::to_string(pid) + "-") || name.starts_with(".pm" + std::to_string(pid) + "-"))
      out.push_back(name);
  }
  return out;
}

// Running the batch command

struct Outcome {
  pid_t pid;  // the process that ran the program; 0 when it did not start
  int exitCode;
  int signal;  // the signal that ended it, if any
  std::string out;
  std::string err;
};

// A process started on `argv` with only LC_ALL, PATH and HOME set and its
// output going into two files.
class Child {
 public:
  Child(std::vector<std::string> argv, const std::string& home) {
    std::string env[] = {"LC_ALL=C", "PATH=/usr/bin:/bin", "HOME=" + home};
    std::vector<char*> args;
    std::vector<char*> envp{env[0].data(), env[1].data(), env[2].data(), nullptr};
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (const int fd : {1, 2}) {
      const std::string capture = m_capture.path(std::to_string(fd));
      posix_spawn_file_actions_addopen(&actions, fd, capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawn_file_actions_addchdir_np(&actions, "/");
    if (posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) m_pid = 0;
    posix_spawn_file_actions_destroy(&actions);
  }

  Outcome wait() {
    int status = 0;
    while (m_pid != 0 && ::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    return {m_pid, WIFEXITED(status) ? WEXITSTATUS(status) : -1, WIFSIGNALED(status) ? WTERMSIG(status) : 0,
            m_capture.read("1"), m_capture.read("2")};
  }

 private:
  TempTree m_capture;
  pid_t m_pid = 0;
};

// Runs of the program in a tree, written down with the tree's root as ROOT
// to compare with a golden file under testsupport/hostile/golden.
struct Transcript {
  std::string root;
  std::string home;
  std::string text = {};

  void add(const std::string& heading, const std::string& body) {
    text += replaceAll("== " + heading + "\n" + body, root, "ROOT");
  }

  // Runs the program (through `wrapper`, e.g. prlimit, when given) to its
  // end, which must leave no temporary file behind.
  Outcome run(const std::vector<std::string>& args, std::vector<std::string> wrapper = {}) {
    const std::string exe = PIXELMOTE_BATCH_EXE;
    std::string command = "pixelmote-batch";
    for (const std::string& a : args) command += " " + a;
    wrapper.push_back(exe);
    wrapper.insert(wrapper.end(), args.begin(), args.end());
    const Outcome o = Child(wrapper, home).wait();
    EXPECT_NE(o.pid, 0) << command << " did not start";
    EXPECT_EQ(o.signal, 0) << command << " was killed\n" << o.err;
    EXPECT_EQ(temporaryFiles(exe.substr(0, exe.rfind('/')), o.pid), std::vector<std::string>{}) << command;
    EXPECT_EQ(temporaryFiles(home + "/.config/pixelmote", o.pid), std::vector<std::string>{}) << command;
    add(command, o.out + (o.err.empty() ? "" : "stderr:\n" + o.err) + "exit " + std::to_string(o.exitCode) + "\n");
    return o;
  }
};

// Pages and their links

// The file a link value of a page in `folder` names, as a browser reads it:
// entities undone, spaces and control bytes at either end dropped, tabs and
// line breaks dropped anywhere, cut at "#" or "?", backslashes as slashes,
// then percent-decoded; "." and ".." resolved by name alone.
std::string linkTarget(const std::string& folder, const std::string& value) {
  std::string path = value;
  for (const auto& [entity, c] :
       {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&#39;", "'"}, {"&quot;", "\""}, {"&amp;", "&"}}) {
    path = replaceAll(path, entity, c);  // "&amp;" last: "&amp;lt;" is "&lt;"
  }
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  while (!path.empty() && blank(path.front())) path.erase(path.begin());
  while (!path.empty() && blank(path.back())) path.pop_back();
  std::erase_if(path, [](char c) { return c == '\t' || c == '\n' || c == '\r'; });
  path = path.substr(0, path.find_first_of("#?"));
  std::replace(path.begin(), path.end(), '\\', '/');
  std::string decoded;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const bool escape = path[i] == '%' && i + 2 < path.size() &&
                        std::isxdigit(static_cast<unsigned char>(path[i + 1])) &&
                        std::isxdigit(static_cast<unsigned char>(path[i + 2]));
    decoded += escape ? static_cast<char>(std::stoi(path.substr(i + 1, 2), nullptr, 16)) : path[i];
    i += escape ? 2 : 0;
  }
  return fs::path(folder + "/" + decoded).lexically_normal().string();
}

// Every href and src value of every page below `root` that leads to no file
// or out of the tree.
std::vector<std::string> brokenLinks(const std::string& root) {
  std::vector<std::string> broken;
  for (const auto& [rel, html] : snapshot(root)) {
    if (rel != "index.html" && !rel.ends_with("/index.html")) continue;
    const std::string folder = root + "/" + rel.substr(0, rel.size() - 10);
    for (std::size_t at = 0; (at = html.find("='", at + 1)) != std::string::npos;) {
      if (html.compare(at - 4, 4, "href") != 0 && html.compare(at - 3, 3, "src") != 0) continue;
      const std::string value = html.substr(at + 2, html.find('\'', at + 2) - at - 2);
      const std::string target = linkTarget(folder, value);
      if (target.rfind(root + "/", 0) != 0 || !fs::is_regular_file(target)) {
        broken.push_back(rel + ": " + value + " -> " + target);
      }
    }
  }
  return broken;
}

// The corpus

bool isGif(const std::string& name) { return name.ends_with(".gif"); }

// The corpus through Report, Create, Report and Remove, the JPEGs and the
// GIFs each in a folder of their own (the GIFs with GIF thumbnails, so that
// the GIF writer gets the odd shapes too): a thumbnail, which decodes, for
// exactly the readable pictures, and a page whose links all resolve.
TEST(HostileCorpus, RunsGiveTheGoldenTranscriptsAndLeaveTheOriginals) {
  TempTree tree;
  auto corpus = hostileCorpus();
  std::sort(corpus.begin(), corpus.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  for (const std::string type : {"jpg", "gif"}) {
    SCOPED_TRACE(type);
    const std::string folder = tree.folder(type);
    std::string expectedThumbnails;
    for (const CorpusFile& f : corpus) {
      if (isGif(f.name) != (type == "gif")) continue;
      writeFile(folder + "/" + f.name, f.bytes);
      if (f.readable) expectedThumbnails += "+ t_" + f.name.substr(0, f.name.find('.')) + "." + type + "\n";
    }
    const Snapshot originals = snapshot(folder);
    Transcript t{tree.root(), tree.folder("home")};
    t.run({"report", folder, "--source", type, "--thumb", type});
    t.run({"create", folder, "--source", type, "--thumb", type});
    const Snapshot created = snapshot(folder);
    EXPECT_EQ(changes(originals, created), "+ index.html\n" + expectedThumbnails);
    for (const auto& [name, bytes] : created) {
      if (!name.starts_with("t_")) continue;
      EXPECT_TRUE(decodeWith(type == "gif" ? imaging::decodeGif : imaging::decodeJpeg, bytes).status.ok()) << name;
    }
    EXPECT_EQ(brokenLinks(folder), std::vector<std::string>{});
    t.add("index.html", created.at("index.html"));
    t.run({"report", folder, "--source", type, "--thumb", type});
    t.run({"remove", folder, "--source", type, "--thumb", type});
    EXPECT_EQ(changes(originals, snapshot(folder)), "");
    testing::expectGolden("testsupport/hostile/golden/corpus-" + type + ".txt", t.text);
  }
}

// Tree traps

const int kNestedFolders = 40;
const int kCrowdedPictures = 2000;

// Names that must survive as file names, in page text and in links; the
// last is 255 bytes long, too long for its thumbnail's name.
const std::vector<std::string> kOddNames = {
    "it's.jpg", "a & b.jpg", "&amp; already.jpg", "#1 hash.jpg", "100%.jpg", "%41 percent-escape.jpg", "why?.jpg",
    "back\\slash.jpg", "say \"cheese\".jpg", "<script>alert(1)<script>.jpg", "with  two spaces.jpg",
    " leading space.jpg", "\xF0\x9F\x98\x80 emoji.jpg", "not utf-8 \xFF\xFE.jpg", "latin-1 caf\xE9.jpg",
    "tab\there.jpg", "line\nbreak.jpg", "UPPER CASE.JPG", std::string(246, 'l') + ".jpg",
    std::string(251, 'L') + ".jpg"};
const std::vector<std::string> kOddFolders = {
    "it's & #1 %? \\", "<script>", "\xF0\x9F\x98\x80", "bad \xFF\xFE", " padded folder ", std::string(255, 'F')};

// A tree of traps for the walker and the pages, below `root` (which exists);
// returns its deepest folder, relative to `root`.
std::string writeTraps(const std::string& root) {
  struct Entry {
    char kind;  // 'f' a picture, 'd' a folder, 'l' a link, 'p' a pipe
    std::string path;
    std::string target;
  };
  std::vector<Entry> entries = {
      {'f', "a.jpg", ""}, {'l', "linked.jpg", "a.jpg"}, {'l', "dangling.jpg", "missing.jpg"},
      {'f', ".hidden.jpg", ""}, {'d', ".hidden", ""}, {'f', ".hidden/p.jpg", ""},
      {'d', "folder.jpg", ""}, {'f', "folder.jpg/p.jpg", ""}, {'p', "fifo.jpg", ""},
      {'l', "fifo-link.jpg", "fifo.jpg"}, {'d', "loop", ""}, {'f', "loop/p.jpg", ""},
      {'l', "loop/up", ".."}, {'l', "loop/self", "."}, {'l', "loop/absolute", root},
      {'d', "crowded", ""}, {'d', "names", ""}, {'d', "deep", ""}};
  std::string deep = "deep";
  for (int i = 1; i <= kNestedFolders; ++i) entries.push_back({'d', deep += "/d" + std::to_string(i), ""});
  entries.push_back({'f', deep + "/bottom.jpg", ""});
  for (const std::string& name : kOddNames) entries.push_back({'f', "names/" + name, ""});
  for (const std::string& folder : kOddFolders) {
    entries.push_back({'d', "names/" + folder, ""});
    entries.push_back({'f', "names/" + folder + "/inside.jpg", ""});
  }
  const std::string red = jpegOf({200, 30, 30}, {16, 12});
  for (const Entry& e : entries) {
    const std::string path = root + "/" + e.path;
    const bool made = e.kind == 'f'   ? (writeFile(path, red), true)
                      : e.kind == 'd' ? ::mkdir(path.c_str(), 0755) == 0
                      : e.kind == 'l' ? ::symlink(e.target.c_str(), path.c_str()) == 0
                                      : ::mkfifo(path.c_str(), 0644) == 0;
    if (!made) throw std::runtime_error("cannot make " + path);
  }
  const std::string dot = jpegOf({30, 30, 200}, {1, 1});
  for (int i = 0; i < kCrowdedPictures; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/crowded/p%04d.jpg", i);
    writeFile(root + name, dot);
  }
  return deep;
}

// Thumbnails beside every picture (the linked one too), a page in every
// walked folder and nothing else; no hidden entry, no loop, no pipe walked
// or shown; the one thumbnail whose name is too long is reported.
TEST(HostileTrees, TrapsGiveTheGoldenTranscriptAndPagesWhoseLinksAllResolve) {
  TempTree tree;
  const std::string root = tree.folder("traps");
  const std::string deepest = writeTraps(root);
  const Snapshot before = snapshot(root);
  Transcript t{tree.root(), tree.folder("home")};
  t.run({"create", root});
  const Snapshot created = snapshot(root);
  t.add("changes", changes(before, created));
  for (const std::string& page :
       {deepest + "/index.html", std::string("index.html"), std::string("names/index.html")}) {
    t.add(page, created.at(page));
  }
  EXPECT_EQ(created.at("names/index.html").find("<script>"), std::string::npos);
  EXPECT_EQ(brokenLinks(root), std::vector<std::string>{});
  t.run({"report", root});
  t.run({"remove", root});
  EXPECT_EQ(changes(before, snapshot(root)), "");
  testing::expectGolden("testsupport/hostile/golden/traps.txt", t.text);
}

// Two runs at once, and a huge file under a memory limit

// Two runs at once, each with two jobs, give every thumbnail its own
// picture's colour: their temporary files never cross.
TEST(HostileConcurrency, TwoRunsAtOnceGiveEveryThumbnailItsOwnPicturesColours) {
  TempTree tree;
  const std::string home = tree.folder("home");
  const std::pair<std::string, Rgb> runs[] = {{"red", {230, 20, 20}}, {"blue", {20, 20, 230}}};
  for (const auto& [folder, colour] : runs) {
    for (int i = 0; i < 24; ++i) tree.fileWith(folder + "/p" + std::to_string(i) + ".jpg", jpegOf(colour, {64, 48}));
  }
  Child red({PIXELMOTE_BATCH_EXE, "create", tree.path("red"), "--jobs", "2"}, home);
  Child blue({PIXELMOTE_BATCH_EXE, "create", tree.path("blue"), "--jobs", "2"}, home);
  for (const Outcome& o : {red.wait(), blue.wait()}) EXPECT_EQ(o.exitCode, 0) << o.err;
  for (const auto& [folder, colour] : runs) {
    for (int i = 0; i < 24; ++i) {
      const std::string thumb = folder + "/t_p" + std::to_string(i) + ".jpg";
      const Decoded d = decodeWith(imaging::decodeJpeg, tree.read(thumb));
      ASSERT_TRUE(d.status.ok()) << thumb << ": " << d.status.message();
      const Rgb p = d.raster.at(0, 0);
      EXPECT_LE(std::abs(p.r - colour.r) + std::abs(p.g - colour.g) + std::abs(p.b - colour.b), 30) << thumb;
    }
  }
}

// A 3 GiB file that is no picture, beside a picture, under a 1.5 GB limit of
// address space, with one job and two: it is skipped and the run goes on.
TEST(LargeFile, AHugeNonPictureIsSkippedUnderAMemoryLimit) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer reserves more address space than the limit allows";
#else
  TempTree tree;
  const std::string folder = tree.folder("run");
  tree.fileWith("run/a.jpg", jpegOf({40, 90, 160}, {64, 48}));
  ASSERT_EQ(::truncate(tree.fileWith("run/b.jpg", "this is no picture").c_str(), off_t{3} << 30), 0);
  Transcript t{tree.root(), tree.folder("home")};
  for (const char* jobs : {"1", "2"})
    t.run({"create", folder, "--jobs", jobs}, {"/usr/bin/prlimit", "--as=1610612736", "--"});
  t.add("index.html", readFile(folder + "/index.html"));
  testing::expectGolden("testsupport/hostile/golden/large-file.txt", t.text);
#endif
}

// Not a check: writes the corpus and the traps into the folder named by
// PIXELMOTE_HOSTILE_TREE for tools/check_pages.sh (the large pictures too
// when PIXELMOTE_HOSTILE_LARGE is 1), with a list of the corpus's files.

TEST(HostileTreeExport, WritesTheTreesWhereTheEnvironmentSays) {
  const char* where = std::getenv("PIXELMOTE_HOSTILE_TREE");
  if (where == nullptr || where[0] != '/') {
    GTEST_SKIP() << "set PIXELMOTE_HOSTILE_TREE to an absolute folder to write the trees there";
  }
  const char* large = std::getenv("PIXELMOTE_HOSTILE_LARGE");
  const std::string root = where;
  for (const char* folder : {"/corpus/jpg", "/corpus/gif", "/traps"}) fs::create_directories(root + folder);
  std::string list;
  for (const CorpusFile& f : hostileCorpus(large != nullptr && std::string(large) == "1")) {
    writeFile(root + "/corpus/" + (isGif(f.name) ? "gif/" : "jpg/") + f.name, f.bytes);
    list += f.name + "\t" + (f.readable ? "readable" : "unreadable") + "\t" + f.what + "\n";
  }
  writeFile(root + "/corpus.tsv", list);
  writeTraps(root + "/traps");
  EXPECT_TRUE(fs::is_regular_file(root + "/traps/crowded/p1999.jpg"));
}

}  // namespace
}  // namespace pixelmote::testing
