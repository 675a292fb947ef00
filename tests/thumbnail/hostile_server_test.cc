// Hostile images inside a real MariaDB server: each is refused, the server
// survives and answers the next statement; palette images are written.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "handmade_images.h"
#include "images.h"
#include "image_dir_server.h"
#include "mariadb_server.h"
#include "test_util.h"

namespace {

using quarn::test::Connection;

class HostileServer : public quarn::test::ImageDirServerTest {
 protected:
  std::string path(const std::string& name) { return dir_->path() + "/" + name + ".jpg"; }

  std::optional<std::string> thumbnail(const std::string& image, const std::string& name) {
    return db_->value("SELECT tarvik(" + Connection::hex_literal(image) + ", " +
                      Connection::quote(name) + ", 200, 200)");
  }

  // Refused with the load failure text; the server lives on and answers.
  void expect_refused(const std::string& image, const std::string& name) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(thumbnail(image, name),
              "Error loading the image for " + path(name) + ". Err Code: 1287");
    // The statement carries the BLOB as hex text: allow for the transfer.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << name;
    ASSERT_TRUE(server_->alive()) << name;
    EXPECT_EQ(Connection(server_->socket_path()).value("SELECT 6 * 7"), "42") << name;
    EXPECT_FALSE(quarn::test::file_exists(path(name))) << name;
  }
};

TEST_F(HostileServer, FixturesAreRefusedAndTheServerSurvives) {
  for (const auto& image : quarn::handmade::hostile_images()) expect_refused(image.bytes, image.name);
}

TEST_F(HostileServer, BombsAreRefusedAndTheServerSurvives) {
  expect_refused(quarn::handmade::jpeg_bomb(40000, 40000, 3), "jpeg_bomb");
  expect_refused(quarn::handmade::png_of_zero_rows(40000, 40000, 8, 0, 40000, false), "png_bomb");
}

TEST_F(HostileServer, PaletteImagesAreWrittenWithTheRightSize) {
  const struct {
    const char* name;
    std::string image;
    unsigned width, height;
  } cases[] = {{"gif", quarn::handmade::gif(80, 60, 2), 200, 150},
               {"palette_png", quarn::handmade::palette_png(50, 100), 100, 200}};
  for (const auto& c : cases) {
    EXPECT_EQ(thumbnail(c.image, c.name), "File written as " + path(c.name));
    const auto written = quarn::test::decode_file(path(c.name));
    ASSERT_TRUE(written.ok) << c.name;
    EXPECT_EQ(written.width, c.width) << c.name;
    EXPECT_EQ(written.height, c.height) << c.name;
  }
}

}  // namespace
