// tarvik inside a real MariaDB server.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "encoded_images.h"
#include "images.h"
#include "image_dir_server.h"
#include "mariadb_server.h"
#include "test_util.h"

namespace {

using quarn::test::Connection;
using quarn::test::decode_file;
using quarn::test::encode_image;
using quarn::test::ImageFormat;

class TarvikServer : public quarn::test::ImageDirServerTest {
 protected:
  std::string path(const std::string& name) { return dir_->path() + "/" + name; }
};

TEST_F(TarvikServer, ThumbnailsOfATableOfImages) {
  const struct {
    const char* name;
    unsigned w, h;
    ImageFormat format;
    unsigned new_w, new_h;
  } images[] = {{"a.png", 1600, 1200, ImageFormat::kPng, 200, 150},
                {"b.jpg", 480, 640, ImageFormat::kJpeg, 150, 200},
                {"c.bmp", 50, 40, ImageFormat::kBmp, 200, 160}};
  db_->rows("CREATE DATABASE IF NOT EXISTS t1; USE t1; DROP TABLE IF EXISTS pics;"
            "CREATE TABLE pics (id INT PRIMARY KEY, img LONGBLOB, name VARCHAR(200))");
  int id = 0;
  for (const auto& image : images) {
    db_->rows("INSERT INTO t1.pics VALUES (" + std::to_string(++id) + ", " +
              Connection::hex_literal(encode_image(image.w, image.h, image.format)) + ", '" +
              image.name + "')");
  }
  const auto rows = db_->rows("SELECT tarvik(img, name, 200, 200) FROM t1.pics ORDER BY id");
  ASSERT_EQ(rows.size(), 3u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::string file = images[i].name;
    if (file.substr(file.size() - 4) != ".jpg") file += ".jpg";
    EXPECT_EQ(rows[i][0].value_or("NULL"), "File written as " + path(file));
    const auto written = decode_file(path(file));
    ASSERT_TRUE(written.ok) << file;
    EXPECT_EQ(written.width, images[i].new_w) << file;
    EXPECT_EQ(written.height, images[i].new_h) << file;
  }
}

TEST_F(TarvikServer, WebpHeicAvifAndJpegXlThumbnails) {
  quarn::test::Samples rgb(320 * 240 * 3);
  for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<std::uint8_t>(i / 960);
  using quarn::test::HeifCodec;
  const struct {
    const char* name;
    std::string image;
    unsigned new_w, new_h;
  } images[] = {{"w.webp", quarn::test::webp(rgb, 320, 240, 3, false), 200, 150},
                // Stored turned: shown upright.
                {"h.heic", quarn::test::heif(rgb, 320, 240, 3, {HeifCodec::kHevc, 6}), 150, 200},
                {"a.avif", quarn::test::heif(rgb, 320, 240, 3, {HeifCodec::kAv1}), 200, 150},
                {"x.jxl", quarn::test::jxl(rgb, 320, 240, 3), 200, 150}};
  db_->rows("CREATE DATABASE IF NOT EXISTS t1; USE t1; DROP TABLE IF EXISTS photos;"
            "CREATE TABLE photos (id INT PRIMARY KEY, img LONGBLOB, name VARCHAR(200))");
  int id = 0;
  for (const auto& image : images) {
    ASSERT_FALSE(image.image.empty()) << image.name;
    db_->rows("INSERT INTO t1.photos VALUES (" + std::to_string(++id) + ", " +
              Connection::hex_literal(image.image) + ", '" + image.name + "')");
  }
  const auto rows = db_->rows("SELECT tarvik(img, name, 200, 200) FROM t1.photos ORDER BY id");
  ASSERT_EQ(rows.size(), 4u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string file = std::string(images[i].name) + ".jpg";
    EXPECT_EQ(rows[i][0].value_or("NULL"), "File written as " + path(file));
    const auto written = decode_file(path(file));
    ASSERT_TRUE(written.ok) << file;
    EXPECT_EQ(written.width, images[i].new_w) << file;
    EXPECT_EQ(written.height, images[i].new_h) << file;
  }
  EXPECT_TRUE(server_->alive());
}

TEST_F(TarvikServer, RefusalsAsTheServerReportsThem) {
  const struct {
    const char* sql;
    const char* message;
  } cases[] = {
      {"SELECT tarvik('a', 'b', 1)", "THUMBNAIL() requires 4 arguments"},
      {"SELECT tarvik('a', 'b', 1, 2, 3)", "THUMBNAIL() requires 4 arguments"},
      {"SELECT tarvik('a', 'b', 200.0, 200)",
       "THUMBNAIL() requires a BLOB, a string filename, a integer maximum width, and an "
       "integer maximum height"},
      {"SELECT tarvik('a', 'b', 200, 2e2)",
       "THUMBNAIL() requires a BLOB, a string filename, a integer maximum width, and an "
       "integer maximum height"},
      {"SELECT tarvik('a', 'b', NULL, 200)",  // an untyped NULL is a string to the server
       "THUMBNAIL() requires a BLOB, a string filename, a integer maximum width, and an "
       "integer maximum height"},
      {"SELECT tarvik('a', 7, 200, 200)",
       "THUMBNAIL() requires a BLOB, a string filename, a integer maximum width, and an "
       "integer maximum height"},
  };
  for (const auto& c : cases) {
    const auto result = db_->query(c.sql);
    ASSERT_FALSE(result.ok) << c.sql;
    const std::string shown = result.error;
    const std::string lead = "Can't initialize function 'tarvik'; ";
    ASSERT_EQ(shown.substr(0, lead.size()), lead) << shown;
    const std::string tail = shown.substr(lead.size());
    // The server cuts long refusals; what it shows is the start of ours.
    ASSERT_GE(tail.size(), 20u) << shown;
    EXPECT_EQ(std::string(c.message).substr(0, tail.size()), tail) << c.sql;
  }
}

TEST_F(TarvikServer, NullArgumentsAndFailuresInTheErrorLog) {
  const std::string png = Connection::hex_literal(encode_image(64, 48, ImageFormat::kPng));
  EXPECT_EQ(db_->value("SELECT tarvik(NULL, 'nullblob', 10, 10)").value_or("NULL"),
            "Error loading the image for " + path("nullblob.jpg") + ". Err Code: 1289");
  EXPECT_EQ(db_->value("SELECT tarvik(" + png + ", 'nomax', CAST(NULL AS SIGNED), 10)").value_or("NULL"),
            "Error: no maximum width or height given for " + path("nomax.jpg"));
  EXPECT_EQ(db_->value("SELECT tarvik(" + png + ", NULL, 32, 32)").value_or("NULL"),
            "Error: No file name for the thumbnail.");
  const auto junk = db_->value("SELECT tarvik('not an image at all', 'junk', 10, 10)");
  ASSERT_TRUE(junk.has_value());
  EXPECT_EQ(junk->rfind("Error loading the image for " + path("junk.jpg") + ". Err Code: ", 0), 0u);
  EXPECT_NE(server_->error_log().find(*junk), std::string::npos)
      << "failures go to the server's standard error, which is its error log";
  EXPECT_TRUE(server_->alive());
  EXPECT_EQ(db_->value("SELECT 1 + 1").value_or(""), "2");
}

// tarvik_jpeg's value kept in the row: a BLOB of the bytes tarvik writes
// into its file; a row that fails keeps NULL, and the error log its line.
TEST_F(TarvikServer, TarvikJpegKeepsTheThumbnailInTheRow) {
  const std::string png = encode_image(1600, 1200, ImageFormat::kPng);
  db_->rows("CREATE DATABASE IF NOT EXISTS t1; USE t1; DROP TABLE IF EXISTS products, typed;"
            "CREATE TABLE products (id INT PRIMARY KEY, photo LONGBLOB, thumb MEDIUMBLOB);"
            "INSERT INTO products VALUES (1, " + Connection::hex_literal(png) +
            ", NULL), (2, 'no image', NULL), (3, NULL, NULL)");
  db_->rows("UPDATE products SET thumb = tarvik_jpeg(photo, 200, 200)");
  ASSERT_EQ(db_->value("SELECT tarvik(photo, 'kept', 200, 200) FROM products WHERE id = 1"),
            "File written as " + path("kept.jpg"));
  const auto rows = db_->rows("SELECT id, thumb FROM products ORDER BY id");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_TRUE(rows[0][1] == quarn::test::read_file(path("kept.jpg")));
  EXPECT_EQ(rows[1][1], std::nullopt);
  EXPECT_EQ(rows[2][1], std::nullopt);
  // A table made from the value types it as the server types the function.
  db_->rows("CREATE TABLE typed AS SELECT tarvik_jpeg(photo, 20, 20) AS j FROM products");
  EXPECT_EQ(db_->rows("SELECT DATA_TYPE, CHARACTER_SET_NAME FROM information_schema.COLUMNS "
                      "WHERE TABLE_SCHEMA = 't1' AND TABLE_NAME = 'typed'"),
            (std::vector<quarn::test::Row>{{"mediumblob", std::nullopt}}));
}

}  // namespace
