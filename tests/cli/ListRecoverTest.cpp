// quarrow-cli list and recover on the tool-made FAT images (tests/fixtures/README.md) and on
// a hand-built image whose deleted names would escape the destination.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "fat/FatTestImage.h"
#include "platform/Text.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Times are shown in local time: the images hold 2023-11-14 22:13:20 for a UTC clock.
std::string Cli(const std::string& args) { return "TZ=UTC " + std::string(QUARROW_CLI_PATH) + " " + args; }

fs::path Scratch(const std::string& name) {
  fs::path p = fs::path(::testing::TempDir()) / ("quarrow-listrecover-" + name + "-" + std::to_string(::getpid()));
  fs::remove_all(p);
  fs::create_directories(p);
  return p;
}

std::vector<json> JsonLines(const std::string& out) {
  std::vector<json> v;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) v.push_back(json::parse(line));
  return v;
}

// SHA-256 of a file, or "missing".
std::string ShaOf(const fs::path& p) { return fs::is_regular_file(p) ? Sha256OfFile(p.string()) : "missing"; }

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every file and folder below dir, as relative paths (folders end with '/').
std::set<std::string> Tree(const fs::path& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    out.insert(fs::relative(e.path(), dir).string() + (e.is_directory() && !e.is_symlink() ? "/" : ""));
  return out;
}

// One FAT volume of the fixture set, as the command line names it.
struct Volume {
  std::string strImage;
  int nPartition;
  std::string Source() const {
    return ShellQuote(FixturePath(strImage)) + (nPartition ? " --partition " + std::to_string(nPartition) : "");
  }
  std::string Name() const { return strImage + (nPartition ? "#" + std::to_string(nPartition) : ""); }
};
const Volume kVolumes[] = {{"fat12.img", 0}, {"fat16.img", 0}, {"fat32.img", 0},
                           {"disk.img", 1},  {"disk.img", 2},  {"disk.img", 3}};

json ManifestVolume(const Volume& v) {
  std::ifstream in(FixturePath("manifest.json"));
  json m = json::parse(in);
  for (const auto& image : m.at("images")) {
    if (image.at("name") != v.strImage) continue;
    for (const auto& vol : image.at("volumes"))
      if (vol.value("partition", 0) == v.nPartition) return vol;
  }
  throw std::runtime_error("no volume " + v.Name() + " in manifest.json");
}

// The manifest's items with the paths and facts a listing shows for them.
struct Expected {
  std::string strPath;  // as listed
  json item;            // the manifest's record
  bool bDir;
};

// A name as the listing shows it: names of more than 17 long-name entries by their short
// name, deleted 8.3 names with '_' for their lost first character.
std::string ListedName(const std::string& name, const std::string& shortName, bool deleted) {
  std::string shown = text::FromUtf8(name).size() > 221 ? shortName : name;
  if (deleted && shown == shortName) shown = "_" + shown.substr(1);
  return shown;
}

std::map<std::string, Expected> ExpectedItems(const json& volume) {
  std::map<std::string, std::pair<std::string, bool>> folderShort;  // manifest path -> short name, deleted
  for (const auto& f : volume.at("folders")) folderShort[f.at("path")] = {f.at("short_name"), f.at("deleted")};
  auto listedPath = [&](const std::string& path, const std::string& shortName, bool deleted) {
    std::string out, prefix;
    std::stringstream in(path);
    std::vector<std::string> parts;
    for (std::string p; std::getline(in, p, '/');) parts.push_back(p);
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
      prefix += (i ? "/" : "") + parts[i];
      out += ListedName(parts[i], folderShort.at(prefix).first, folderShort.at(prefix).second) + "/";
    }
    return out + ListedName(parts.back(), shortName, deleted);
  };
  std::map<std::string, Expected> out;
  for (const auto& f : volume.at("files")) {
    std::string p = listedPath(f.at("path"), f.at("short_name"), f.at("deleted"));
    out[p] = {p, f, false};
  }
  for (const auto& f : volume.at("folders")) {
    std::string p = listedPath(f.at("path"), f.at("short_name"), f.at("deleted"));
    out[p] = {p, f, true};
  }
  return out;
}

bool Fragmented(const json& item) { return item.at("clusters").size() > 1; }

std::string ExpectedStatus(const Expected& e) {
  const json& i = e.item;
  if (!i.at("deleted")) return "Existing";
  if (e.bDir) return "Good";
  // No first cluster: an empty file has nothing to lose; any other lost where it began.
  if (i.at("clusters").empty()) return i.at("size") == 0 ? "Excellent" : "Poor";
  std::string path = i.at("path");
  bool picture = path.size() > 4 && (path.substr(path.size() - 4) == ".jpg" || path.substr(path.size() - 4) == ".JPG");
  // A picture is rated Excellent only when the consecutive clusters hold it whole; read
  // from consecutive clusters a fragmented one runs into another file's: Poor.
  if (picture) return Fragmented(i) ? "Poor" : "Excellent";
  return "Good";
}

// What a recovery of the item must bring back.
std::string ExpectedSha(const json& item) {
  return item.at("deleted") && Fragmented(item) ? item.at("consecutive_sha256") : item.at("sha256");
}

}  // namespace

// Every field of list --json against what the tools wrote, on every FAT volume.
TEST(ListRecover, ListingMatchesTheManifest) {
  for (const auto& v : kVolumes) {
    SCOPED_TRACE(v.Name());
    std::string image = FixturePath(v.strImage), before = Sha256OfFile(image);
    json volume = ManifestVolume(v);
    const uint64_t bpc = volume.at("bytes_per_cluster");
    auto expected = ExpectedItems(volume);

    std::string out, err;
    ASSERT_EQ(RunCommand(Cli("list " + v.Source() + " --recursive --all --json"), &out, &err), 0) << err;
    std::set<std::string> listed, wanted{"LostFiles"};
    for (const auto& [path, e] : expected) wanted.insert(path);
    for (const json& j : JsonLines(out)) {
      std::string path = j.at("path");
      SCOPED_TRACE(path);
      EXPECT_TRUE(listed.insert(path).second) << "listed twice";
      if (path == "LostFiles") continue;
      auto it = expected.find(path);
      ASSERT_NE(it, expected.end()) << "not written by the tools";
      const Expected& e = it->second;
      uint64_t size = e.bDir ? 0 : e.item.at("size").get<uint64_t>();
      EXPECT_EQ(j.at("name"), path.substr(path.rfind('/') + 1));
      EXPECT_EQ(j.at("dir"), e.bDir);
      EXPECT_EQ(j.at("size"), size);
      EXPECT_EQ(j.at("allocated"), (size + bpc - 1) / bpc * bpc);
      EXPECT_EQ(j.at("deleted"), e.item.at("deleted"));
      EXPECT_EQ(j.at("status"), ExpectedStatus(e));
      // Every deleted item says why it has its word; existing ones need no reason.
      EXPECT_EQ(j.at("status_reason").get<std::string>().empty(), !e.item.at("deleted").get<bool>());
      if (j.at("name") == "_ORN.JPG")
        EXPECT_EQ(j.at("status_reason"), "fragmented: read as consecutive clusters, one of them now used by another file");
      EXPECT_EQ(j.at("created"), "2023/11/14 22:13:20");
      EXPECT_EQ(j.at("modified"), "2023/11/14 22:13:20");
      EXPECT_EQ(j.at("accessed"), "2023/11/14");
      EXPECT_EQ(j.at("attributes"), e.bDir ? 0x10 : 0x20);
      const json& runs = e.item.at("clusters");
      EXPECT_EQ(j.at("first_cluster"), runs.empty() ? 0 : runs[0][0].get<uint64_t>());
    }
    EXPECT_EQ(listed, wanted);

    // Without --all a folder shows folders and deleted files only.
    ASSERT_EQ(RunCommand(Cli("list " + v.Source() + " --recursive --json"), &out, &err), 0) << err;
    size_t shown = 0;
    for (const json& j : JsonLines(out)) {
      EXPECT_TRUE(j.at("dir") || j.at("deleted")) << j.at("path");
      ++shown;
    }
    size_t hidden = 0;
    for (const auto& [path, e] : expected) hidden += !e.bDir && !e.item.at("deleted");
    EXPECT_EQ(shown + hidden, wanted.size());

    // A FOLDER argument lists that folder only.
    ASSERT_EQ(RunCommand(Cli("list " + v.Source() + " OldStuff --json"), &out, &err), 0) << err;
    std::vector<std::string> inOld;
    for (const json& j : JsonLines(out)) inOld.push_back(j.at("path"));
    EXPECT_EQ(inOld, (std::vector<std::string>{"OldStuff/Deeper", "OldStuff/_LD1.TXT", "OldStuff/old two.bin",
                                               "OldStuff/Empty note.txt"}));
    EXPECT_EQ(Sha256OfFile(image), before);
  }
}

// Every deleted file and the deleted folder tree, recovered in one command.
TEST(ListRecover, DeletedItemsComeBackAsRecorded) {
  for (const auto& v : kVolumes) {
    SCOPED_TRACE(v.Name());
    std::string image = FixturePath(v.strImage), before = Sha256OfFile(image);
    auto expected = ExpectedItems(ManifestVolume(v));
    std::string items;
    std::set<std::string> wanted;
    for (const auto& [path, e] : expected) {
      if (!e.item.at("deleted")) continue;
      wanted.insert(path + (e.bDir ? "/" : ""));
      if (path.find('/') == std::string::npos) items += " " + ShellQuote(path);
    }
    fs::path dest = Scratch("deleted");
    std::string out, err;
    ASSERT_EQ(RunCommand(Cli("recover " + v.Source() + items + " --to " + ShellQuote(dest.string())), &out, &err), 0)
        << err;
    EXPECT_EQ(Tree(dest), wanted);
    for (const auto& [path, e] : expected) {
      if (e.bDir || !e.item.at("deleted")) continue;
      SCOPED_TRACE(path);
      EXPECT_EQ(ShaOf(dest / path), ExpectedSha(e.item));
      if (Fragmented(e.item)) {
        EXPECT_NE(ShaOf(dest / path), e.item.at("sha256").get<std::string>());
      }
    }
    EXPECT_EQ(Sha256OfFile(image), before);
    fs::remove_all(dest);
  }
}

// --deleted-only from the root: the deleted files at their paths with the folders on their
// way, and nothing else (no existing file, and not Docs, which holds no deleted file); an
// existing file given by path is passed over and named.
TEST(ListRecover, DeletedOnlyWritesDeletedFilesAndTheirFolders) {
  for (const auto& v : kVolumes) {
    SCOPED_TRACE(v.Name());
    std::string image = FixturePath(v.strImage), before = Sha256OfFile(image);
    auto expected = ExpectedItems(ManifestVolume(v));
    std::set<std::string> wanted;
    for (const auto& [path, e] : expected) {
      if (e.bDir || !e.item.at("deleted")) continue;
      wanted.insert(path);
      for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
        wanted.insert(path.substr(0, slash + 1));
    }
    ASSERT_TRUE(wanted.count("OldStuff/Deeper/"));
    fs::path dest = Scratch("deletedonly");
    std::string out, err;
    ASSERT_EQ(RunCommand(Cli("recover " + v.Source() + " / README.TXT --deleted-only --to " + ShellQuote(dest.string())),
                         &out, &err),
              0)
        << err;
    EXPECT_NE(err.find("README.TXT: not deleted"), std::string::npos) << err;
    // The root is written as one folder, named after the volume.
    std::vector<fs::path> top{fs::directory_iterator(dest), fs::directory_iterator()};
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(Tree(top[0]), wanted);
    for (const auto& [path, e] : expected) {
      if (e.bDir || !e.item.at("deleted")) continue;
      EXPECT_EQ(ShaOf(top[0] / path), ExpectedSha(e.item)) << path;
    }
    EXPECT_EQ(Sha256OfFile(image), before);
    fs::remove_all(dest);
  }
}

// Existing files are items only with --all; then they come back whole, the fragmented
// FRAG.BIN included (its allocation chain is intact), and a folder recovered with --all
// brings its existing files as list --all shows them.
TEST(ListRecover, ExistingFilesNeedAllAndComeBackWhole) {
  for (const auto& v : kVolumes) {
    SCOPED_TRACE(v.Name());
    std::string image = FixturePath(v.strImage), before = Sha256OfFile(image);
    auto expected = ExpectedItems(ManifestVolume(v));
    fs::path dest = Scratch("existing");
    std::string out, err;
    EXPECT_EQ(RunCommand(Cli("recover " + v.Source() + " README.TXT --to " + ShellQuote(dest.string())), &out, &err), 1);
    EXPECT_NE(err.find("README.TXT"), std::string::npos) << err;
    EXPECT_TRUE(fs::is_empty(dest));

    std::string items;
    for (const auto& [path, e] : expected)
      if (!e.bDir && !e.item.at("deleted") && path.find('/') == std::string::npos) items += " " + ShellQuote(path);
    ASSERT_EQ(RunCommand(Cli("recover " + v.Source() + items + " Docs --all --to " + ShellQuote(dest.string())), &out,
                         &err),
              0)
        << err;
    for (const auto& [path, e] : expected) {
      if (e.bDir || e.item.at("deleted")) continue;
      SCOPED_TRACE(path);
      EXPECT_EQ(ShaOf(dest / path), e.item.at("sha256").get<std::string>());
    }
    EXPECT_EQ(Sha256OfFile(image), before);
    fs::remove_all(dest);
  }
}

TEST(ListRecover, OverwriteAnswersAndBadArguments) {
  std::string image = FixturePath("fat16.img"), before = Sha256OfFile(image);
  auto expected = ExpectedItems(ManifestVolume({"fat16.img", 0}));
  const std::string notes = expected.at("Removed notes.txt").item.at("sha256");
  const std::string two = expected.at("OldStuff/old two.bin").item.at("sha256");
  fs::path dest = Scratch("overwrite");
  std::string to = " --to " + ShellQuote(dest.string()), src = ShellQuote(image), out, err;
  ASSERT_EQ(RunCommand(Cli("recover " + src + " 'Removed notes.txt' OldStuff" + to), &out, &err), 0) << err;
  auto spoil = [&] {
    std::ofstream(dest / "Removed notes.txt") << "mine";
    std::ofstream(dest / "OldStuff" / "old two.bin") << "mine";
  };
  struct {
    const char* option;
    bool replaced;
  } cases[] = {{"", false}, {" --overwrite ask", false}, {" --overwrite skip", false}, {" --overwrite all", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    spoil();
    // "ask" reads the answers from the terminal; a closed input answers No.
    ASSERT_EQ(RunCommand(Cli("recover " + src + " 'Removed notes.txt' OldStuff" + to + c.option), &out, &err), 0) << err;
    EXPECT_EQ(Sha256OfFile((dest / "Removed notes.txt").string()), c.replaced ? notes : Sha256Hex("mine"));
    EXPECT_EQ(Sha256OfFile((dest / "OldStuff" / "old two.bin").string()), c.replaced ? two : Sha256Hex("mine"));
  }
  // "keep" writes the recovered file beside the existing one; a folder that exists is kept and
  // the recovered one written beside it whole.
  spoil();
  ASSERT_EQ(RunCommand(Cli("recover " + src + " 'Removed notes.txt' OldStuff" + to + " --overwrite keep"), &out, &err), 0)
      << err;
  EXPECT_EQ(Sha256OfFile((dest / "Removed notes.txt").string()), Sha256Hex("mine"));
  EXPECT_EQ(Sha256OfFile((dest / "Removed notes.txt (2)").string()), notes);
  EXPECT_EQ(Sha256OfFile((dest / "OldStuff" / "old two.bin").string()), Sha256Hex("mine"));
  EXPECT_EQ(Sha256OfFile((dest / "OldStuff (2)" / "old two.bin").string()), two);
  fs::remove(dest / "Removed notes.txt (2)");
  fs::remove_all(dest / "OldStuff (2)");

  // A missing item is named and fails the run; the others are still written.
  fs::remove(dest / "Removed notes.txt");
  EXPECT_EQ(RunCommand(Cli("recover " + src + " 'No such file.txt' 'Removed notes.txt'" + to), &out, &err), 1);
  EXPECT_NE(err.find("No such file.txt"), std::string::npos) << err;
  EXPECT_EQ(Sha256OfFile((dest / "Removed notes.txt").string()), notes);

  struct {
    std::string args;
    const char* message;
  } bad[] = {
      {"list " + ShellQuote(FixturePath("disk.img")) + " --partition 9", "no FAT, exFAT or NTFS partition 9"},
      {"list " + ShellQuote(FixturePath("disk.img")), "--partition"},
      {"recover " + ShellQuote(FixturePath("disk.img")) + " --partition 5 X" + to, "partition 5"},
      {"list " + src + " NoSuchFolder", "NoSuchFolder"},
      {"list /nonexistent/q.img", "/nonexistent/q.img"},
      {"recover " + src + " X --overwrite sometimes" + to, "--overwrite"},
      {"recover " + src + " 'Removed notes.txt' --to " + ShellQuote((dest / "missing").string()), "missing"},
  };
  for (const auto& b : bad) {
    EXPECT_EQ(RunCommand(Cli(b.args), &out, &err), 2) << b.args;
    EXPECT_NE(err.find(b.message), std::string::npos) << b.args << ": " << err;
  }
  EXPECT_FALSE(fs::exists(dest / "missing"));
  EXPECT_EQ(Sha256OfFile(image), before);
  fs::remove_all(dest);
}

// Deleted long names may hold '/' or be "", "." or "..": whatever they hold, every byte is
// written inside the destination, under the safe name; symbolic links already in the
// destination are not followed.
TEST(ListRecover, UnsafeNamesAndLinksStayInsideTheDestination) {
  using namespace fattest;
  CFatTestImage img(100);
  auto deletedItem = [](const std::u16string& name, const char* name11, uint8_t attr, uint32_t cluster, uint32_t size) {
    return Deleted(Item(name, name11, attr, cluster, size));
  };
  Entry emptyName = LongName(u"x", 0)[0];
  Put16(&emptyName[1], 0);
  Put16(&emptyName[3], 0xFFFF);
  img.WriteDir(0, Join({Item(u"Box1", "BOX1       ", kAttrDir, 2, 0), Item(u"Box2", "BOX2       ", kAttrDir, 3, 0)}));
  img.Chain({2});
  img.Chain({3});
  img.WriteFolder(2, 0,
                  Join({deletedItem(u"a/b.txt", "AB~1    TXT", kAttrFile, 10, 5),
                        deletedItem(u".", "DOT~1      ", kAttrFile, 11, 5),
                        deletedItem(u"..", "DOTDOT~1   ", kAttrFile, 12, 5),
                        {emptyName, Deleted(Short("NONAME  TXT", kAttrFile, 13, 5))},
                        deletedItem(u"../up.txt", "UP~1    TXT", kAttrFile, 14, 5),
                        deletedItem(u"plain.txt", "PLAIN   TXT", kAttrFile, 15, 5)}));
  img.WriteFolder(3, 0, deletedItem(u"sub/dir", "SUBDIR~1   ", kAttrDir, 4, 0));
  img.WriteFolder(4, 3, Item(u"inner.txt", "INNER   TXT", kAttrFile, 16, 5));
  const char* contents[] = {"slash", "dot__", "ddot_", "empty", "upupu", "plain", "inner"};
  for (uint32_t i = 0; i < 7; ++i) img.Fill(10 + i, std::vector<uint8_t>(contents[i], contents[i] + 5));

  fs::path root = Scratch("unsafe");
  fs::path imagePath = root / "unsafe.img";
  {
    auto bytes = img.WholeImage();
    std::ofstream(imagePath, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
  }
  std::string src = ShellQuote(imagePath.string()), before = Sha256OfFile(imagePath.string()), out, err;
  ASSERT_EQ(RunCommand(Cli("list " + src + " Box1 --json"), &out, &err), 0) << err;
  std::vector<std::string> names;
  for (const json& j : JsonLines(out)) names.push_back(j.at("name"));
  ASSERT_EQ(names, (std::vector<std::string>{"a/b.txt", ".", "..", "", "../up.txt", "plain.txt"}));

  fs::path dest = root / "dest";
  fs::create_directories(dest);
  ASSERT_EQ(RunCommand(Cli("recover " + src + " Box1 Box2 Box1/.. --to " + ShellQuote(dest.string())), &out, &err), 0)
      << err;
  const std::map<std::string, std::string> written = {
      {"Box1/a_b.txt", "slash"}, {"Box1/_.", "dot__"},     {"Box1/_..", "ddot_"},      {"Box1/_", "empty"},
      {"Box1/.._up.txt", "upupu"}, {"Box1/plain.txt", "plain"}, {"Box2/sub_dir/inner.txt", "inner"}, {"_..", "ddot_"}};
  std::set<std::string> tree{"Box1/", "Box2/", "Box2/sub_dir/"};
  for (const auto& [path, content] : written) {
    tree.insert(path);
    EXPECT_EQ(ReadFile(dest / path), content) << path;
  }
  EXPECT_EQ(Tree(dest), tree);
  std::set<std::string> top;
  for (const auto& e : fs::directory_iterator(root)) top.insert(e.path().filename().string());
  EXPECT_EQ(top, (std::set<std::string>{"unsafe.img", "dest"}));

  // Links where a file, a folder and a file inside a saved folder would go, all leading out.
  fs::path outside = root / "outside", linked = root / "linked";
  fs::create_directories(outside);
  fs::create_directories(linked / "Box1");
  std::ofstream(outside / "target.txt") << "keep";
  fs::create_symlink(outside / "target.txt", linked / "plain.txt");
  fs::create_symlink(outside, linked / "Box2");
  fs::create_symlink(outside / "target.txt", linked / "Box1" / "_.");
  for (const char* mode : {"skip", "all"}) {
    SCOPED_TRACE(mode);
    EXPECT_EQ(RunCommand(Cli("recover " + src + " Box1/plain.txt Box2 Box1 --overwrite " + mode + " --to " +
                             ShellQuote(linked.string())),
                         &out, &err),
              1);
    EXPECT_NE(err.find("Box2"), std::string::npos) << err;
    EXPECT_EQ(ReadFile(outside / "target.txt"), "keep");
    EXPECT_EQ(Tree(outside), std::set<std::string>{"target.txt"});
    EXPECT_TRUE(fs::is_symlink(linked / "plain.txt"));
  }
  EXPECT_EQ(ReadFile(linked / "Box1" / "plain.txt"), "plain");
  EXPECT_EQ(Sha256OfFile(imagePath.string()), before);
  fs::remove_all(root);
}
