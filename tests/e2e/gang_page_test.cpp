// The board on the wall in a real browser: headless Chromium (Debian's
// chromium) loads the page of a running station, at a wall screen's size and
// at a phone's width; its screenshots show the tiles in their colours, and
// its DOM the same results as the JSON report. And the server takes no
// request that would change anything.
#include <gtest/gtest.h>
#include <httplib.h>
#include <zlib.h>

#include <atomic>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/run_korvel.h"
#include "tests/e2e/simulated_device.h"
#include "tests/e2e/test_images.h"

namespace korvel_e2e {
namespace {

using Json = nlohmann::json;
using std::chrono::milliseconds;

// Chromium as this machine runs it: headless, without the sandbox (as
// root), without any network of its own, in a fresh profile.
RunResult RunChromium(const TempDir& dir, const std::vector<std::string>& args) {
  static int profile = 0;
  std::vector<std::string> all = {
      "--headless",
      "--no-sandbox",
      "--disable-gpu",
      "--disable-quic",
      "--no-first-run",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--user-data-dir=" + (dir / ("profile" + std::to_string(++profile))).string(),
      "--virtual-time-budget=3000"};
  all.insert(all.end(), args.begin(), args.end());
  RunOptions options;
  options.timeout = milliseconds(60000);
  return RunProgram(FindProgram("chromium"), all, options);
}

// An 8-bit RGB or RGBA PNG as Chromium writes its screenshots, decoded.
struct Picture {
  uint32_t width = 0;
  uint32_t height = 0;
  size_t channels = 0;
  std::vector<uint8_t> pixels;  // rows of |width| pixels, |channels| bytes each

  const uint8_t* At(uint32_t x, uint32_t y) const {
    return &pixels[(static_cast<size_t>(y) * width + x) * channels];
  }
};

uint32_t BigEndian(const std::string& bytes, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) << 24 |
         static_cast<uint8_t>(bytes[at + 1]) << 16 | static_cast<uint8_t>(bytes[at + 2]) << 8 |
         static_cast<uint8_t>(bytes[at + 3]);
}

// Undoes the filter of each row (PNG's five: none, sub, up, average, Paeth).
void Unfilter(const std::vector<uint8_t>& raw, Picture* picture) {
  const size_t stride = picture->width * picture->channels;
  picture->pixels.assign(stride * picture->height, 0);
  for (size_t y = 0; y < picture->height; ++y) {
    const uint8_t filter = raw[y * (stride + 1)];
    const uint8_t* in = &raw[y * (stride + 1) + 1];
    uint8_t* out = &picture->pixels[y * stride];
    const uint8_t* above = y > 0 ? out - stride : nullptr;
    for (size_t i = 0; i < stride; ++i) {
      const int a = i >= picture->channels ? out[i - picture->channels] : 0;
      const int b = above ? above[i] : 0;
      const int c = above && i >= picture->channels ? above[i - picture->channels] : 0;
      const int p = a + b - c;
      const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
      const int paeth = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
      const int predictors[] = {0, a, b, (a + b) / 2, paeth};
      out[i] = static_cast<uint8_t>(in[i] + predictors[filter <= 4 ? filter : 0]);
    }
  }
}

bool ReadPicture(const std::string& path, Picture* picture) {
  const std::string png = ReadFileText(path);
  if (png.size() < 33 || png.compare(1, 3, "PNG") != 0) return false;
  std::string compressed;
  for (size_t at = 8; at + 8 <= png.size();) {
    const uint32_t length = BigEndian(png, at);
    const std::string type = png.substr(at + 4, 4);
    if (type == "IHDR") {
      picture->width = BigEndian(png, at + 8);
      picture->height = BigEndian(png, at + 12);
      picture->channels = png[at + 17] == 6 ? 4 : 3;             // colour type RGBA or RGB
      if (png[at + 16] != 8 || png[at + 20] != 0) return false;  // 8 bits, no interlace
    }
    if (type == "IDAT") compressed += png.substr(at + 8, length);
    at += 12 + length;
  }
  std::vector<uint8_t> raw(picture->height * (1 + picture->width * picture->channels));
  uLongf size = raw.size();
  if (uncompress(raw.data(), &size, reinterpret_cast<const Bytef*>(compressed.data()),
                 compressed.size()) != Z_OK) {
    return false;
  }
  Unfilter(raw, picture);
  return true;
}

// The tiles' colours (board_page.cpp), within the rounding of a browser.
struct Colour {
  int red, green, blue;
};
constexpr Colour kRunning{0x1e, 0x56, 0xc8};
constexpr Colour kPassed{0x1b, 0x87, 0x3a};
constexpr Colour kFailed{0xc4, 0x1f, 0x1f};

bool Is(const uint8_t* pixel, Colour colour) {
  return std::abs(pixel[0] - colour.red) <= 3 && std::abs(pixel[1] - colour.green) <= 3 &&
         std::abs(pixel[2] - colour.blue) <= 3;
}

size_t CountPixels(const Picture& picture, Colour colour) {
  size_t count = 0;
  for (uint32_t y = 0; y < picture.height; ++y) {
    for (uint32_t x = 0; x < picture.width; ++x) count += Is(picture.At(x, y), colour);
  }
  return count;
}

// Text as Chromium writes the DOM back: &, < and > escaped, and " too in
// an attribute's value.
std::string Html(const std::string& text, bool attribute = false) {
  std::string escaped;
  for (char c : text) {
    if (c == '&') {
      escaped += "&amp;";
    } else if (c == '<') {
      escaped += "&lt;";
    } else if (c == '>') {
      escaped += "&gt;";
    } else if (c == '"' && attribute) {
      escaped += "&quot;";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

TEST(GangPage, ABrowserShowsTheTilesAndTheSameResultsAsTheReport) {
  ASSERT_NE(FindProgram("chromium"), "") << "no chromium (Debian: chromium)";
  TempDir dir;
  const std::string imagePath = dir.WriteFile("firmware.img", FirmwareImage(64 * 64)).string();
  std::filesystem::create_directories(dir / "by-id");
  // Two that pass, one whose erase is refused, one that takes a third of a
  // second to write each block (some twenty seconds in all: in progress
  // while the page is looked at, on however busy a machine).
  DevsimConfig refusing;
  refusing.replies[0].fault = ReplyFault::kRefuse;
  DevsimConfig slowly;
  slowly.writeTimeUs = 300000;
  SimulatedDevice first, second, refused(refusing), slow(slowly);
  const std::pair<const char*, SimulatedDevice*> links[] = {
      {"a-first", &first}, {"b-second", &second}, {"c-refused", &refused}, {"d-slow", &slow}};
  for (const auto& [name, device] : links) {
    std::filesystem::create_symlink(device->port(), dir / "by-id" / name);
  }
  const std::string jsonPath = (dir / "report.json").string();
  std::atomic<bool> looked{false};
  RunResult gang;
  std::thread station([&] {
    RunOptions options;
    options.timeout = milliseconds(120000);
    options.signal = SIGINT;  // twice: the slow run is stopped too
    options.signalCount = 2;
    options.signalWhen = [&] { return looked.load(); };
    gang = RunCompanion("korvel-gang",
                        {imagePath, "--watch", (dir / "by-id" / "*").string(), "--http",
                         "127.0.0.1:0", "--json", jsonPath, "--log-dir", (dir / "logs").string()},
                        options);
  });
  const auto report = [&] { return Json::parse(ReadFileText(jsonPath), nullptr, false); };
  const auto reportSays = [&](int passed, int failed) {
    const Json now = report();
    return now.is_object() && now["passed"] == passed && now["failed"] == failed;
  };
  const auto waitFor = [&](auto done) {
    for (int tries = 0; tries < 600 && !done(); ++tries) {
      std::this_thread::sleep_for(milliseconds(50));
    }
    return done();
  };

  // 0. The page's address, any free port: the report has it from the start.
  std::string url;
  waitFor([&] {
    const Json now = report();
    if (now.is_object() && now["page"].is_string()) url = now["page"];
    return !url.empty();
  });

  // 1. During the run: three done, one programming.
  const auto threeDone = [&] { return reportSays(2, 1) && slow.Snapshot().frames.size() >= 3; };
  if (!waitFor(threeDone)) {
    looked = true;
    station.join();
    FAIL() << "the report never said 2 passed, 1 failed:\n" << ReadFileText(jsonPath);
  }
  const std::string wall = (dir / "wall.png").string();
  const std::string phone = (dir / "phone.png").string();
  const RunResult wallShot =
      RunChromium(dir, {"--window-size=1920,1080", "--screenshot=" + wall, url});
  const RunResult phoneShot =
      RunChromium(dir, {"--window-size=390,844", "--screenshot=" + phone, url});

  // 2. The DOM against the report, the slow one still running.
  const RunResult dom = RunChromium(dir, {"--dump-dom", url});
  const Json final = report();

  // 3. Nothing a request asks changes anything.
  httplib::Client client(url.substr(0, url.size() - 1));
  const auto posted = client.Post("/board.json", "{}", "application/json");
  const auto deleted = client.Delete("/");
  const auto served = client.Get("/board.json");
  looked = true;
  station.join();

  EXPECT_EQ(gang.exitStatus, 1) << gang.out << gang.err;
  EXPECT_EQ(report()["results"][3]["outcome"], "stopped");
  ASSERT_TRUE(posted && deleted && served);
  EXPECT_EQ(posted->status, 405);
  EXPECT_EQ(deleted->status, 405);
  EXPECT_EQ(served->status, 200);
  EXPECT_EQ(Json::parse(served->body)["results"].size(), 4u);

  // The wall screen: tiles in all three colours, each at least a tile's
  // worth (a tile is some 300 x 170 pixels there).
  Picture picture;
  ASSERT_EQ(wallShot.exitStatus, 0) << wallShot.err;
  ASSERT_TRUE(ReadPicture(wall, &picture));
  EXPECT_EQ(picture.width, 1920u);
  EXPECT_EQ(picture.height, 1080u);
  EXPECT_GT(CountPixels(picture, kPassed), 2 * 30000u);
  EXPECT_GT(CountPixels(picture, kFailed), 30000u);
  EXPECT_GT(CountPixels(picture, kRunning), 30000u);
  // The phone: one column of tiles across the
  // whole width, the first one (passed) from near its left edge to near its
  // right (a scroll bar aside).
  Picture small;
  ASSERT_EQ(phoneShot.exitStatus, 0) << phoneShot.err;
  ASSERT_TRUE(ReadPicture(phone, &small));
  EXPECT_EQ(small.width, 390u);
  bool spans = false;
  for (uint32_t y = 0; y < small.height && !spans; ++y) {
    spans = Is(small.At(20, y), kPassed) && Is(small.At(small.width - 40, y), kPassed);
  }
  EXPECT_TRUE(spans);
  EXPECT_GT(CountPixels(small, kFailed), 0u);

  // The DOM: one tile per result, in the report's order, with its port,
  // outcome, label and reason.
  ASSERT_EQ(dom.exitStatus, 0) << dom.err;
  const std::regex tile(
      R"re(<section class="tile (\w+)" data-port="([^"]*)" data-appearance="(\d+)" )re"
      R"re(data-outcome="([^"]*)" data-attempts="(\d+)"><div class="label">([^<]*)</div>)re"
      R"re((.*?)</section>)re");
  std::vector<std::smatch> tiles;
  for (auto at = std::sregex_iterator(dom.out.begin(), dom.out.end(), tile);
       at != std::sregex_iterator(); ++at) {
    tiles.push_back(*at);
  }
  ASSERT_EQ(tiles.size(), final["results"].size()) << dom.out;
  for (size_t i = 0; i < tiles.size(); ++i) {
    const Json& result = final["results"][i];
    EXPECT_EQ(tiles[i][2], Html(result["port"], true)) << i;
    EXPECT_EQ(tiles[i][3], std::to_string(result["appearance"].get<int>()));
    EXPECT_EQ(tiles[i][4], result["outcome"].get<std::string>());
    const std::string colour = result["outcome"] == "running"  ? "running"
                               : result["outcome"] == "passed" ? "passed"
                                                               : "failed";
    EXPECT_EQ(tiles[i][1], colour);
    EXPECT_EQ(tiles[i][6], Html(result["label"]));
    if (result["reason"].is_string()) {
      EXPECT_NE(
          tiles[i][7].str().find("<div class=\"reason\">" + Html(result["reason"]) + "</div>"),
          std::string::npos)
          << tiles[i][7];
    }
  }
  EXPECT_NE(dom.out.find("4 devices \u00b7 1 running \u00b7 2 flashed \u00b7 1 failed"),
            std::string::npos);
}

}  // namespace
}  // namespace korvel_e2e
