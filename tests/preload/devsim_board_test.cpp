// devsim's board folder: a sequence of runs behaves like one device; show tells the board's
// state; picture writes the screen as a PNG that decodes to the framebuffer's pixels; faults
// set by hand reach the programs' failure paths. Last, the demo's factory sequence end to end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "board.h"
#include "board_folder.h"
#include "devsim/board_store.h"
#include "devsim_support.h"

namespace {

namespace fs = std::filesystem;
using devsim_test::Devsim;
using devsim_test::DevsimRun;
using devsim_test::ReadText;
using testbed::Bytes;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr size_t kWidth = 800;
constexpr size_t kHeight = 480;
constexpr size_t kFlashBank = 65536;

struct Picture {
  bool ok = false;
  size_t width = 0, height = 0;
  Bytes rgb;
  std::array<uint8_t, 3> At(size_t x, size_t y) const {
    const size_t i = (y * width + x) * 3;
    return {rgb[i], rgb[i + 1], rgb[i + 2]};
  }
};

Picture DecodePng(const fs::path& file) {
  Picture p;
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&image, file.c_str()) == 0) return p;
  image.format = PNG_FORMAT_RGB;
  p.rgb.resize(PNG_IMAGE_SIZE(image));
  p.ok = png_image_finish_read(&image, nullptr, p.rgb.data(), 0, nullptr) != 0;
  p.width = image.width;
  p.height = image.height;
  return p;
}

void WriteBytes(const fs::path& file, const Bytes& bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadBytes(const fs::path& file) {
  const std::string text = ReadText(file);
  return Bytes(text.begin(), text.end());
}

std::string Quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// ---- A board kept across runs --------------------------------------------------------------

TEST_F(Devsim, BoardIsKeptAcrossRuns) {
  // The provisioning run ends with the module off; the next run finds it off and the table
  // tool's reads go unanswered, until rf_gate switches it on in a run of its own.
  ASSERT_EQ(Run("--board b -- bm77_provision 00:1A:2B:3C:4D:5E 256").status, 0);
  const fs::path table = dir_ / "t.txt";
  WriteBytes(table, {'0', '0', '4', '0', ':', ' ', '7', '7', ' ', ';', '\r', '\n'});
  EXPECT_NE(Run("--board b -- bm77_tableupdate " + Quoted(table)).status, 0);
  ASSERT_EQ(Run("--board b -- rf_gate 1").status, 0);
  const DevsimRun update = Run("--board b -- bm77_tableupdate " + Quoted(table));
  EXPECT_EQ(update.status, 0) << update.out << update.err;

  Bytes image(kFlashBank + 1000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + i / 251);
  WriteBytes(dir_ / "fw.bin", image);
  ASSERT_EQ(Run("--board b -- rf_gate 1").status, 0);
  const DevsimRun fw = Run("--board b -- bm77_fwupdate " + Quoted(dir_ / "fw.bin"));
  EXPECT_EQ(fw.status, 0) << fw.out << fw.err;

  const Bytes eeprom = ReadBytes(dir_ / "b" / "eeprom.bin");
  ASSERT_EQ(eeprom.size(), testbed::Module::kEepromSize);
  EXPECT_EQ(Bytes(eeprom.begin(), eeprom.begin() + 6), (Bytes{0x5E, 0x4D, 0x3C, 0x2B, 0x1A, 0x00}));
  EXPECT_EQ(eeprom[0x40], 0x77);
  const Bytes flash = ReadBytes(dir_ / "b" / "flash.bin");
  ASSERT_EQ(flash.size(), testbed::Module::kFlashSize);
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + static_cast<long>(image.size())), image);

  // The chip keeps its random bytes: Noisewell draws the same 32 on the same board.
  const DevsimRun first = Run("--board b -- Noisewell");
  const DevsimRun second = Run("--board b -- Noisewell");
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, second.out);
  EXPECT_EQ(ReadBytes(dir_ / "b" / "opt" / "random"), ReadBytes(dir_ / "b" / "chip-random.bin"));
  EXPECT_EQ(ReadText(dir_ / "b" / "opt" / "mac"), "00:1A:2B:3C:4D:5E");
}

// ---- show ----------------------------------------------------------------------------------

// A board laid by hand: its files are what devsim keeps.
void LayBoard(const fs::path& b, const Bytes& mac_record) {
  Bytes eeprom(testbed::Module::kEepromSize, 0xFF);
  std::copy(mac_record.begin(), mac_record.end(), eeprom.begin());
  const std::string name = "Tavrine-2211";
  std::copy(name.begin(), name.end(), eeprom.begin() + 0x0B);
  eeprom[0x19] = 0x01;
  eeprom[0x1A] = 0x2C;
  WriteBytes(b / "eeprom.bin", eeprom);
  Bytes flash(testbed::Module::kFlashSize, 0xFF);
  // Bytes whose CRC the protocol's own examples give: 73 00 00 06 has 5D 0C, 74 00 19 01 00
  // has 86 D0.
  const Bytes bank0 = {0x73, 0x00, 0x00, 0x06}, bank1 = {0x74, 0x00, 0x19, 0x01, 0x00};
  std::copy(bank0.begin(), bank0.end(), flash.begin());
  std::copy(bank1.begin(), bank1.end(), flash.begin() + kFlashBank);
  WriteBytes(b / "flash.bin", flash);
  WriteBytes(b / "board.txt", {'p', 'o', 'w', 'e', 'r', ' ', 'o', 'n', '\n', 'm', 'o', 'd', 'e',
                               ' ', '1', '\n', 'v', 'c', 'o', 'm', ' ', '3', '1', '0', '\n'});
  const std::string mac = "11:22:33:44:55:66";
  WriteBytes(b / "opt" / "mac", Bytes(mac.begin(), mac.end()));
  WriteBytes(b / "opt" / "vcomdata", {'3', '0', '0'});
}

TEST_F(Devsim, ShowTellsTheBoardInReadableLines) {
  LayBoard(dir_ / "b", {0x66, 0x55, 0x44, 0x33, 0x22, 0x11});
  ASSERT_EQ(Run("--board b fault chip-missing module-silent").status, 0);
  const DevsimRun r = Run("--board b show");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "board " + (dir_ / "b").string() + "\n" +
                       "MAC               11:22:33:44:55:66 (EEPROM 0x0000: 66 55 44 33 22 11)\n"
                       "device name       Tavrine-2211\n"
                       "VCOM              module 300, display power chip 310\n"
                       "module            power on, boot mode 1 (configuration)\n"
                       "crypto chip       asleep\n"
                       "flash bank 0      4 bytes, CRC 5D0C\n"
                       "flash bank 1      5 bytes, CRC 86D0\n"
                       "flash bank 2      erased\n"
                       "flash bank 3      erased\n"
                       "flash bank 4      erased\n"
                       "flash bank 5      erased\n"
                       "flash bank 6      erased\n"
                       "flash bank 7      erased\n"
                       "/opt/mac          11:22:33:44:55:66\n"
                       "/tmp/mac          missing\n"
                       "/opt/device_name  missing\n"
                       "/tmp/device_name  missing\n"
                       "/opt/vcomdata     300\n"
                       "/opt/random       missing\n"
                       "faults            chip-missing, module-silent\n");
}

TEST_F(Devsim, ShowMarksAnUnusableMac) {
  for (const Bytes& record : {Bytes(6, 0xFF), Bytes(6, 0x00), Bytes{0, 0, 0x50, 0x67, 0x11, 0}}) {
    LayBoard(dir_ / "b", record);
    const DevsimRun r = Run("--board b show");
    EXPECT_THAT(r.out, HasSubstr(" (unusable) (EEPROM 0x0000: ")) << r.out;
  }
  LayBoard(dir_ / "b", {0, 0, 0x50, 0x67, 0x11, 0x01});
  EXPECT_THAT(Run("--board b show").out, Not(HasSubstr("unusable")));
}

TEST_F(Devsim, ShowAndPictureNeedABoard) {
  for (const char* command : {"show", "picture x.png"}) {
    const DevsimRun r = Run(std::string("--board nothing ") + command);
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_EQ(r.err, "devsim: no board in " + (dir_ / "nothing").string() + "\n");
    EXPECT_FALSE(fs::exists(dir_ / "nothing"));
    EXPECT_FALSE(fs::exists(dir_ / "x.png"));
  }
}

// ---- picture -------------------------------------------------------------------------------

struct Colour {
  uint16_t pixel;
  std::array<uint8_t, 3> rgb;
};
// RGB565 and the 8-bit colour a full field must give: full fields full, half fields half.
constexpr std::array<Colour, 7> kColours = {{{0x0000, {0, 0, 0}},
                                             {0xFFFF, {255, 255, 255}},
                                             {0xF800, {255, 0, 0}},
                                             {0x07E0, {0, 255, 0}},
                                             {0x001F, {0, 0, 255}},
                                             {0x8410, {132, 130, 132}},
                                             {0x4208, {66, 65, 66}}}};

size_t ColourAt(size_t x, size_t y) { return (x / 8 + y * 3) % kColours.size(); }

TEST_F(Devsim, PictureIsTheFramebuffersPixels) {
  Bytes memory(kWidth * kHeight * 2);
  for (size_t y = 0; y < kHeight; ++y) {
    for (size_t x = 0; x < kWidth; ++x) {
      const uint16_t v = kColours[ColourAt(x, y)].pixel;
      memory[(y * kWidth + x) * 2] = static_cast<uint8_t>(v);
      memory[(y * kWidth + x) * 2 + 1] = static_cast<uint8_t>(v >> 8);
    }
  }
  WriteBytes(dir_ / "b" / "dev" / "fb0", memory);
  const DevsimRun r = Run("--board b picture screen.png");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "picture of the screen (800 x 480) written to screen.png\n");
  const Picture p = DecodePng(dir_ / "screen.png");
  ASSERT_TRUE(p.ok);
  ASSERT_EQ(p.width, kWidth);
  ASSERT_EQ(p.height, kHeight);
  size_t wrong = 0;
  for (size_t y = 0; y < kHeight; ++y) {
    for (size_t x = 0; x < kWidth; ++x) {
      if (p.At(x, y) != kColours[ColourAt(x, y)].rgb && wrong++ < 5) {
        ADD_FAILURE() << "pixel " << x << "," << y;
      }
    }
  }
  EXPECT_EQ(wrong, 0u);
}

// ---- faults --------------------------------------------------------------------------------

struct FaultCase {
  const char* fault;
  const char* program;  // with its arguments; PIC is the test picture, FW a firmware image
  int status;           // the program's failure status under the fault
};

class DevsimFaults : public Devsim, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(DevsimFaults, ReachTheProgramsFailurePaths) {
  const FaultCase& c = GetParam();
  ASSERT_EQ(Run("test-picture pic.bmp").status, 0);
  WriteBytes(dir_ / "fw.bin", Bytes(1000, 0x5A));
  const DevsimRun set = Run(std::string("--board b fault ") + c.fault);
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out, "faults of " + (dir_ / "b").string() + ": " + c.fault + "\n");
  std::string program = c.program;
  for (auto [word, file] : {std::pair{"PIC", "pic.bmp"}, std::pair{"FW", "fw.bin"}}) {
    const size_t at = program.find(word);
    if (at != std::string::npos) program.replace(at, std::strlen(word), Quoted(dir_ / file));
  }
  const DevsimRun r = Run("--board b -- " + program);
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Devsim, DevsimFaults,
    ::testing::Values(FaultCase{"module-silent", "bm77_ident", 2},
                      FaultCase{"module-late", "bm77_ident", 2},
                      FaultCase{"port-missing", "bm77_ident", 255},
                      FaultCase{"chip-missing", "Noisewell", 255},
                      FaultCase{"fb-missing", "bmpview PIC", 255},
                      FaultCase{"flash-refused", "bm77_fwupdate FW", 255}),
    [](const auto& tc) {
      std::string name = tc.param.fault;
      name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
      return name;
    });

TEST_F(Devsim, FaultsStayUntilCleared) {
  ASSERT_EQ(Run("--board b fault module-silent").status, 0);
  EXPECT_EQ(Run("--board b -- bm77_ident").status, 2);
  EXPECT_EQ(Run("--board b -- bm77_ident").status, 2);
  const DevsimRun cleared = Run("--board b fault clear");
  EXPECT_EQ(cleared.out, "faults of " + (dir_ / "b").string() + ": none\n");
  const DevsimRun r = Run("--board b -- bm77_ident");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// A wrong name is a wrong command line: one line says what is accepted, and nothing is done.
TEST_F(Devsim, WrongFaultOrPictureNameIsNamedAndNothingIsDone) {
  std::string faults;
  for (const devsim::FaultEntry& f : devsim::kFaults) faults += std::string(" ") + f.name;
  const std::pair<std::string, std::string> cases[] = {
      {"fault module-silent bogus", "unknown fault bogus; the faults are" + faults + ", chaos:SEED, or clear"},
      {"fault clear module-silent", "unknown fault clear; the faults are" + faults + ", chaos:SEED, or clear"},
      {"picture screen.jpg", "picture wants a file name ending in .png, not 'screen.jpg'"},
      {"picture .png", "picture wants a file name ending in .png, not '.png'"},
  };
  ASSERT_EQ(Run("--board b -- rf_gate 1").status, 0);
  for (const auto& [args, line] : cases) {
    const DevsimRun r = Run("--board b " + args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(r.err, "devsim: " + line + "\n");
    EXPECT_EQ(r.out, "") << args;
  }
  EXPECT_FALSE(fs::exists(dir_ / "b" / "faults.txt"));
  EXPECT_FALSE(fs::exists(dir_ / "screen.jpg"));
}

// ---- where a board folder may lie ----------------------------------------------------------

// Lines of testbed::BoardFolderClash, which devsim prints after "devsim: ".
std::string Holds(const std::string& folder, const char* how, const std::string& own) {
  return "the board folder " + folder + " " + how + " " + own +
         ", one of the board's own paths: choose another folder";
}
std::string LeadsOut(const std::string& folder, const std::string& own, const std::string& to) {
  return "the board folder " + folder + " leads the board's " + own + " to the machine's " + to +
         ": choose another folder";
}

// Links a test lays in its folder, leading to where a board must never be.
void LayLinks(const fs::path& dir) {
  fs::create_symlink("/tmp", dir / "tmp-link");
  fs::create_symlink("/dev/ttyS0", dir / "port-link");
  fs::create_symlink("elsewhere/../port-link", dir / "relative-link");
  fs::create_symlink("/tmp/mac/board", dir / "dangling");
  fs::create_symlink("loop-b", dir / "loop-a");
  fs::create_symlink("loop-a", dir / "loop-b");
  fs::create_directories(dir / "dev-out");
  fs::create_symlink("/dev", dir / "dev-out" / "dev");
  fs::create_directories(dir / "mac-out" / "tmp");
  fs::create_symlink("/tmp/mac", dir / "mac-out" / "tmp" / "mac");
  fs::create_directories(dir / "elsewhere");
  fs::create_symlink(dir / "elsewhere", dir / "fine-link");
  fs::create_directories(dir / "tmp");
}

// Only looks: every folder below is judged from its words and its links, nothing is made. The
// relative ones climb from the test's own folder past the root (which stays the root).
TEST_F(Devsim, BoardFolderClashNamesWhatTheFolderIsHoldsOrLiesInside) {
  LayLinks(dir_);
  const std::string d = dir_.string();
  std::string to_root;
  for (int i = 0; i < 64; ++i) to_root += "../";
  const std::pair<std::string, std::string> cases[] = {
      {"/tmp", Holds("/tmp", "holds", "/tmp/mac")},
      {"/tmp/", Holds("/tmp", "holds", "/tmp/mac")},
      {"/dev", Holds("/dev", "holds", "/dev/ttyS0")},
      {"/", Holds("/", "holds", "/dev/ttyS0")},
      {"/opt/.", Holds("/opt", "holds", "/opt/mac")},
      {"/tmp/mac", Holds("/tmp/mac", "is", "/tmp/mac")},
      {"/opt/random/board", Holds("/opt/random/board", "lies inside", "/opt/random")},
      {"/dev/fb0/x/..", Holds("/dev/fb0", "is", "/dev/fb0")},
      {to_root + "tmp", Holds("/tmp", "holds", "/tmp/mac")},
      {d + "/tmp-link", Holds("/tmp", "holds", "/tmp/mac")},
      {d + "/port-link/board", Holds("/dev/ttyS0/board", "lies inside", "/dev/ttyS0")},
      {d + "/elsewhere/../relative-link", Holds("/dev/ttyS0", "is", "/dev/ttyS0")},
      {d + "/dangling", Holds("/tmp/mac/board", "lies inside", "/tmp/mac")},
      {d + "/dev-out", LeadsOut(d + "/dev-out", "/dev/ttyS0", "/dev/ttyS0")},
      {d + "/mac-out", LeadsOut(d + "/mac-out", "/tmp/mac", "/tmp/mac")},
      {d + "/loop-a/board", "the board folder " + d + "/loop-a/board leads through a loop of links"},
      // Folders of their own, however near a board path their words come.
      {d + "/board", ""},
      {d + "/new/board/", ""},
      {d + "/fine-link", ""},
      {d + "/tmp", ""},
      {"/tmpx/board", ""},
      {"/opt/mac-board", ""},
  };
  for (const auto& [folder, line] : cases) {
    EXPECT_EQ(testbed::BoardFolderClash(folder), line) << folder;
  }
  EXPECT_FALSE(fs::exists(dir_ / "new"));
  EXPECT_FALSE(fs::exists("/tmpx"));
}

// What a folder holds, but the standard error devsim_test::Shell keeps there.
std::vector<fs::path> Entries(const fs::path& dir) {
  std::vector<fs::path> entries;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir)) {
    if (e.path().filename() != "stderr.txt") entries.push_back(e.path());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// devsim refuses such a folder with one line before it makes or opens anything, with the seal
// and without it, whatever it was asked to do. The folders here lie inside the machine's serial
// port, the one path where even a board made by mistake could make nothing (no folder can
// lie inside a device), so this test can never touch the machine's files.
TEST_F(Devsim, RefusesABoardFolderInsideTheBoardsOwnPaths) {
  struct stat port {};
  if (lstat("/dev/ttyS0", &port) != 0 || !S_ISCHR(port.st_mode)) {
    GTEST_SKIP() << "no serial port /dev/ttyS0 on this machine to stand for a board path";
  }
  LayLinks(dir_);
  const std::string inside = Holds("/dev/ttyS0/b", "lies inside", "/dev/ttyS0");
  const std::pair<std::string, std::string> cases[] = {
      {"--board port-link/b -- rf_gate 1", inside},
      {"--board port-link/b --no-seal -- rf_gate 1", inside},
      {"--board ./relative-link/../relative-link/b show", inside},
      {"--board /dev/ttyS0/b fault module-silent", inside},
      {"--board /dev/ttyS0 picture s.png", Holds("/dev/ttyS0", "is", "/dev/ttyS0")},
  };
  const std::vector<fs::path> laid = Entries(dir_);
  for (const auto& [args, line] : cases) {
    const DevsimRun r = Run(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(r.err, "devsim: " + line + "\n") << args;
    EXPECT_EQ(r.out, "") << args;
  }
  EXPECT_EQ(Entries(dir_), laid) << "devsim made something";
  // The board itself refuses such a folder as well, before it makes anything.
  testbed::BoardOptions options;
  options.sandbox = (dir_ / "port-link" / "b").string();
  EXPECT_THROW(testbed::Board{options}, std::invalid_argument);
}

// ---- the demo ------------------------------------------------------------------------------

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string SummaryLine(const std::vector<std::string>& lines, const std::string& step) {
  for (const std::string& line : lines) {
    if (line.rfind(step + " ", 0) == 0) return line;
  }
  return "";
}

TEST_F(Devsim, DemoRunsTheFactorySequenceOnANewBoard) {
  const std::string command = "'" + std::string(BM77_SOURCE_DIR) + "/scripts/factory-demo' '" +
                              BM77_BIN_DIR + "' " + Quoted(dir_ / "board") + " 70";
  const DevsimRun r = devsim_test::Shell(command, dir_ / "demo-stderr.txt");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  EXPECT_THAT(SummaryLine(lines, "provision"),
              HasSubstr("files 00:1A:2B:3C:4D:5E, Tavrine-4D5E; VCOM module 256, display power "
                        "chip 256"));
  EXPECT_THAT(SummaryLine(lines, "fwupdate"), HasSubstr("name kept: Tavrine-4D5E"));
  EXPECT_THAT(SummaryLine(lines, "tableupdate"), HasSubstr("EEPROM 0x0060: 5a 5b 5c"));
  EXPECT_THAT(SummaryLine(lines, "ident"), HasSubstr("MAC 00:1A:2B:3C:4D:5E, name Tavrine-4D5E"));
  const std::string fresh = SummaryLine(lines, "ident-new-mac");
  EXPECT_THAT(fresh, HasSubstr("new MAC "));
  EXPECT_THAT(fresh, Not(HasSubstr("FF:FF:FF:FF:FF:FF")));
  EXPECT_THAT(fresh, Not(HasSubstr("00:1A:2B:3C:4D:5E")));
  const fs::path png = dir_ / "board" / "screen.png";
  EXPECT_EQ(lines.back(), "the picture of the screen: " + png.string());
  EXPECT_THAT(r.out, Not(HasSubstr("FAILED")));

  // The test picture the right way up: colour bars along the top (white on the left, black
  // on the right), the arrow's tip above its shaft, the background below.
  const Picture p = DecodePng(png);
  ASSERT_TRUE(p.ok);
  ASSERT_EQ(p.width, kWidth);
  ASSERT_EQ(p.height, kHeight);
  const std::array<uint8_t, 3> white{255, 255, 255}, yellow{255, 255, 0}, black{0, 0, 0};
  EXPECT_EQ(p.At(20, 10), white);
  EXPECT_EQ(p.At(150, 10), yellow);
  EXPECT_EQ(p.At(780, 10), black);
  EXPECT_EQ(p.At(400, 125), white);  // the tip
  EXPECT_NE(p.At(300, 125), white);  // beside the tip
  EXPECT_EQ(p.At(300, 235), white);  // the head's wide end
  EXPECT_EQ(p.At(400, 390), white);  // the shaft
  EXPECT_NE(p.At(400, 470), white);  // below the arrow
}

}  // namespace
