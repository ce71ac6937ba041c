// Stacks of stores end to end through the public handles: a layer that cannot be opened, the
// masks a top layer records as they stand in its file, lower layers changing underneath a login,
// where each value comes from, and a WebDAV layer under local ones.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include <zor-qel-rb-key/qel_connection.h>
#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_layers.h>
#include <zor-qel-rb-key/qel_rb_iterators.h>
#include <zor-qel-rb-key/qel_rb_key.h>
#include <zor-qel-rb-key/qel_rb_root_key.h>
#include "scratch_files.h"
#include "test_system.h"
#include "webdav_test.h"

namespace {

class LayerStackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteWholeFile(defaults_, "[/App]\ncolor=red\nsize=10\n[/App/Old]\nx=1\n[/App/Net]\nproxy=p\n");
    WriteWholeFile(site_, "; the site's overrides\n[/App]\nsize=20\n");
    WriteWholeFile(host_, "");
  }

  std::string Stack() const { return "layers:" + defaults_ + "|" + site_ + "|" + host_; }
  QELConnection Login(const std::string& host) const {
    QELConnection connection(QELConnection::INI);
    connection.Login(host, 0, "", "");
    return connection;
  }
  // The text of the error a login on `host` throws, "" when it succeeds.
  std::string LoginError(const std::string& host) const {
    try {
      Login(host);
    } catch (const QELError& error) {
      EXPECT_EQ(error.Code(), 158L);
      return error.What();
    }
    return "";
  }
  static std::vector<std::string> Walk(const QELConnection& connection) {
    std::vector<std::string> paths;
    const QELRBKey root(connection);
    for (QELRBConstKeyIterator it(root, "(key=*)", true, {});
         it != QELRBConstKeyIterator::EndIterator; ++it) {
      paths.push_back((*it).GetKeyPath());
    }
    return paths;
  }

  const LogCapture quiet_;
  ScratchDirectory dir_;
  const std::string defaults_ = dir_.File("defaults.ini");
  const std::string site_ = dir_.File("site.ini");
  const std::string host_ = dir_.File("host.ini");
};

TEST_F(LayerStackTest, ALayerThatCannotBeOpenedIsNamedAndTheConnectionKeepsWhatItHad) {
  QELConnection connection = Login(Stack());
  const std::string missing = dir_.File("gone.ini");
  EXPECT_NE(LoginError("layers:" + missing + "|" + host_).find("layer 1 of 2 (" + missing + ")"),
            std::string::npos);
  EXPECT_NE(LoginError("layers:" + defaults_ + "||" + host_).find("layer 2 of 3"),
            std::string::npos);
  EXPECT_NE(LoginError("layers:" + site_ + "|" + dir_.File("./site.ini")).find("same store as"),
            std::string::npos);
  WriteWholeFile(site_, "[/App\n");
  EXPECT_NE(LoginError(Stack()).find("layer 2 of 3 (" + site_ + ")"), std::string::npos);
#ifndef _WIN32
  if (!RunningAsSuperuser()) {
    WriteWholeFile(site_, "");
    chmod(site_.c_str(), 0);
    EXPECT_NE(LoginError(Stack()).find("layer 2 of 3 (" + site_ + ")"), std::string::npos);
  }
#endif
  EXPECT_THROW(connection.Login("layers:" + missing, 0, "", ""), QELError);
  EXPECT_EQ(static_cast<std::string>(QELRBKey("/App", connection).GetValue("size")), "20");
}

TEST_F(LayerStackTest, DeletionsOfLowerValuesAndKeysAreMasksInTheTopFile) {
  const std::string defaults = ReadWholeFile(defaults_);
  const std::string site = ReadWholeFile(site_);
  QELConnection connection = Login(Stack());
  QELRBKey app("/App", connection);
  app.DeleteValue("color");
  app.DeleteSubkey("Old");
  QELRBKey("/App/Net", connection).DeleteValue("proxy");
  EXPECT_EQ(ReadWholeFile(host_),
            "[/.deleted-values/App]\ncolor=\n[/.deleted-keys/App/Old]\n"
            "[/.deleted-values/App/Net]\nproxy=\n");
  EXPECT_EQ(ReadWholeFile(defaults_), defaults);
  EXPECT_EQ(ReadWholeFile(site_), site);
  // The masks are no keys, and no key may take their names.
  EXPECT_EQ(Walk(connection), (std::vector<std::string>{"/App", "/App/Net"}));
  EXPECT_THROW(QELRBKey(connection).CreateSubkey(".deleted-keys"), QELError);
  // A key deleted and made again is empty; a value set again drops its mask.
  EXPECT_TRUE(app.CreateSubkey("Old").GetTruncatedValues().empty());
  EXPECT_FALSE(QELRBKey("/App/Old", connection).HasValue("x"));
  app.SetValue("color", QELRBValue("blue"));
  EXPECT_EQ(ReadWholeFile(host_),
            "[/.deleted-keys/App/Old]\n[/.deleted-values/App/Net]\nproxy=\n[/App/Old]\n"
            "[/App]\ncolor=blue\n");
}

TEST_F(LayerStackTest, ALowerLayerChangingUnderneathIsFollowed) {
  QELConnection connection = Login(Stack());
  QELRBKey app("/App", connection);
  app.SetValue("size", QELRBValue("30"));
  {
    QELConnection site = Login(site_);
    QELRBKey site_app("/App", site);
    site_app.SetValue("size", QELRBValue("25"));
    site_app.SetValue("mode", QELRBValue("fast"));
    site_app.CreateSubkey("New");
  }
  // What open keys read after a refresh is the layered model check's; here, what a wait returns.
  const std::vector<std::string> changed = connection.WaitForChange(5000);
  EXPECT_EQ(changed, (std::vector<std::string>{"/App", "/App/New"}));
  EXPECT_TRUE(connection.Refresh().empty());
  EXPECT_EQ(connection.GetChangeDescriptor(), -1);
}

TEST_F(LayerStackTest, EachValueNamesTheLayerAndLineItComesFrom) {
  QELConnection connection = Login(Stack());
  QELRBKey("/App", connection).SetValue("mode", QELRBValue("slow"));
  EXPECT_EQ(zor::qel::LayerAddresses(connection),
            (std::vector<std::string>{defaults_, site_, host_}));
  const struct {
    const char* path;
    const char* name;
    size_t layer;
    size_t line;
  } kCases[] = {{"/App", "color", 0, 2},
                {"/App", "SIZE", 1, 3},
                {"/App", "mode", 2, 2},
                {"/App/Net", "proxy", 0, 7}};
  for (const auto& expected : kCases) {
    zor::qel::ValueOrigin origin;
    ASSERT_TRUE(zor::qel::FindValueOrigin(connection, expected.path, expected.name, origin))
        << expected.name;
    EXPECT_EQ(origin.layer, expected.layer) << expected.name;
    EXPECT_EQ(origin.address, zor::qel::LayerAddresses(connection)[expected.layer]);
    EXPECT_EQ(origin.line, expected.line) << expected.name;
  }
  zor::qel::ValueOrigin origin;
  EXPECT_FALSE(zor::qel::FindValueOrigin(connection, "/App", "none", origin));
  QELConnection single = Login(site_);
  EXPECT_EQ(zor::qel::LayerAddresses(single), std::vector<std::string>{site_});
  ASSERT_TRUE(zor::qel::FindValueOrigin(single, "/App", "size", origin));
  EXPECT_EQ(origin.line, 3u);
}

TEST_F(LayerStackTest, TheModuleIndexIsReadThroughTheLayers) {
  const std::string index = "[/ZOR_Software/qel4ds/Config/Index]\n";
  WriteWholeFile(defaults_, ReadWholeFile(defaults_) + index + "app=/App\nnet=/App/Net\n");
  WriteWholeFile(site_, ReadWholeFile(site_) + index + "app=/App/Old\n");
  const QELConnection connection = Login(Stack());
  EXPECT_EQ(QELRBRootKey("app", connection).GetKeyPath(), "/App/Old");
  EXPECT_EQ(QELRBRootKey("net", connection).GetKeyPath(), "/App/Net");
  QELRBKey("/ZOR_Software/qel4ds/Config/Index", connection).DeleteValue("net");
  EXPECT_THROW(QELRBRootKey("net", connection), QELError);
}

class WebDavLayerTest : public WebDavTest {};

TEST_F(WebDavLayerTest, AWebDavLayerIsReadUnderLocalOnesAndNeverWritten) {
  server_->WriteFile("defaults.ini", "[/App]\ncolor=red\nsize=10\n");
  ScratchDirectory dir;
  WriteWholeFile(dir.File("host.ini"), "[/App]\nsize=11\n");
  const std::string url = "https://" + server_->HostPort() + "/defaults.ini";
  QELConnection connection(QELConnection::RINI);
  connection.Login("layers:" + url + "|" + dir.File("host.ini"), 0, WebDavServer::kUser,
                   WebDavServer::kPassword);
  QELRBKey app("/App", connection);
  EXPECT_EQ(static_cast<std::string>(app.GetValue("color")), "red");
  EXPECT_EQ(static_cast<std::string>(app.GetValue("size")), "11");
  app.DeleteValue("color");
  EXPECT_FALSE(app.HasValue("color"));
  EXPECT_EQ(server_->ReadFile("defaults.ini"), "[/App]\ncolor=red\nsize=10\n");
  EXPECT_EQ(server_->CountRequests("PUT", "/defaults.ini"), 0);
  // An idle wait asks the WebDAV layer once per polling interval (2 s), not at every look.
  const int before = server_->CountRequests("GET", "/defaults.ini");
  EXPECT_TRUE(connection.WaitForChange(1000).empty());
  EXPECT_LE(server_->CountRequests("GET", "/defaults.ini") - before, 1);
  server_->WriteFile("defaults.ini", "[/App]\ncolor=red\nsize=10\nshape=round\n");
  // The server may answer from its cache of the file's state for a while: the wait looks again.
  EXPECT_EQ(connection.WaitForChange(5000), std::vector<std::string>{"/App"});
  EXPECT_EQ(static_cast<std::string>(app.GetValue("shape")), "round");
  zor::qel::ValueOrigin origin;
  ASSERT_TRUE(zor::qel::FindValueOrigin(connection, "/App", "shape", origin));
  EXPECT_EQ(origin.address, url);
  EXPECT_EQ(origin.line, 4u);
  ExpectNoPasswordLogged();
}

}  // namespace
