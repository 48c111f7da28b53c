// catweb as a program, spoken to over HTTP as a browser would: its search answers item for item
// what catfind --json answers, page by page; the catalogues and folders it shows; every
// malformed parameter refused with 400; the doors it keeps shut (other Host names, other
// methods, files from disk); its time limit, and an index that is not there yet.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/json_check.h"
#include "tests/support/program_run.h"
#include "tests/support/scratch.h"
#include "tests/web/web_catalogues.h"
#include "tools/index/index_db.h"

namespace {

struct Reply {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string Header(const std::string& name) const {
    auto found = headers.find(name);
    return found == headers.end() ? "" : found->second;
  }
};

// Sends `request` as it is to 127.0.0.1:`port` and reads the answer to its end.
Reply Exchange(int port, const std::string& request) {
  Reply reply;
  const int connection = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(connection);
    return reply;
  }
  for (size_t sent = 0; sent < request.size();) {
    const ssize_t written = send(connection, request.data() + sent, request.size() - sent, 0);
    if (written <= 0) break;
    sent += static_cast<size_t>(written);
  }
  std::string answer;
  char buffer[65536];
  for (ssize_t got; (got = recv(connection, buffer, sizeof buffer, 0)) > 0;)
    answer.append(buffer, got);
  close(connection);

  const size_t headEnd = answer.find("\r\n\r\n");
  if (answer.compare(0, 9, "HTTP/1.1 ") != 0 || headEnd == std::string::npos) return reply;
  reply.status = std::stoi(answer.substr(9, 3));
  std::istringstream head(answer.substr(0, headEnd));
  std::string line;
  std::getline(head, line);
  while (std::getline(head, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    if (!value.empty() && value.back() == '\r') value.pop_back();
    reply.headers[name] = value;
  }
  reply.body = answer.substr(headEnd + 4);
  return reply;
}

// catweb started on a free port of 127.0.0.1, stopped with SIGTERM when this goes.
class Catweb {
 public:
  Catweb(const std::string& folder, std::vector<std::string> arguments) {
    static int started = 0;
    errPath_ = folder + "/catweb" + std::to_string(++started) + ".err";
    program_run::Program program;
    program.argv = {CATWEB_PATH, "--listen", "127.0.0.1:0"};
    program.argv.insert(program.argv.end(), arguments.begin(), arguments.end());
    pid_ = program_run::Start(program, "", errPath_);
    // It names its address once it listens.
    const std::string marker = "at http://127.0.0.1:";
    for (int tries = 0; pid_ > 0 && port_ == 0 && tries < 1000; ++tries) {
      const std::string said = Said();
      if (size_t at = said.find(marker); at != std::string::npos) {
        port_ = std::atoi(said.c_str() + at + marker.size());
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  }
  ~Catweb() { Stop(); }

  // Its exit status after SIGTERM (-1 when it did not exit by itself).
  int Stop() {
    if (pid_ <= 0) return status_;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return status_;
  }

  std::string Said() const {
    std::ifstream file(errPath_);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

  int port() const { return port_; }
  std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }

  Reply Get(const std::string& target) const {
    return Exchange(
        port_, "GET " + target + " HTTP/1.1\r\nHost: " + Host() + "\r\nConnection: close\r\n\r\n");
  }

 private:
  std::string errPath_;
  pid_t pid_ = -1;
  int port_ = 0;
  int status_ = -1;
};

// The text of the "items" array of a search answer, without its brackets.
std::string ItemsOf(const std::string& body) {
  const std::string start = "{\"items\":[";
  const size_t end = body.rfind("],\"offset\":");
  if (body.compare(0, start.size(), start) != 0 || end == std::string::npos) return "<none>";
  return body.substr(start.size(), end - start.size());
}

class CatwebTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new Scratch;
    database_ = scratch_->path + "/index.sqlite";
    const std::string folder = scratch_->path + "/cats";
    std::filesystem::create_directory(folder);
    std::string error;
    ASSERT_TRUE(web_test::WriteCatalogues(folder, &catalogues_, &error)) << error;
    const RunResult indexed = program_run::Run({CATINDEX_PATH, "--db", database_, folder});
    // 1: the damaged catalogue is reported, and indexed with the others.
    ASSERT_EQ(indexed.exitStatus, 1) << indexed;
    server_ = new Catweb(scratch_->path, {"--db", database_});
    ASSERT_NE(server_->port(), 0) << server_->Said();
  }
  static void TearDownTestSuite() {
    delete server_;
    delete scratch_;
  }

  // The id the catalogues list gives the catalogue at `path` (JSON-quoted as the API writes it).
  static std::string IdOf(const std::string& quotedPath) {
    const std::string body = server_->Get("/api/catalogues").body;
    const size_t at = body.find("\"path\":" + quotedPath);
    const size_t id = body.rfind("{\"id\":", at);
    if (at == std::string::npos || id == std::string::npos) return "0";
    return body.substr(id + 6, body.find(',', id) - id - 6);
  }

  static Scratch* scratch_;
  static std::string database_;
  static web_test::Catalogues catalogues_;
  static Catweb* server_;
};

Scratch* CatwebTest::scratch_ = nullptr;
std::string CatwebTest::database_;
web_test::Catalogues CatwebTest::catalogues_;
Catweb* CatwebTest::server_ = nullptr;

TEST_F(CatwebTest, SearchAnswersAsCatfindDoesPageByPage) {
  struct Case {
    std::string query;                 // the API's parameters
    std::vector<std::string> catfind;  // catfind's arguments
  };
  const Case cases[] = {
      {"q=IMG", {"IMG"}},
      {"q=*.jpg&ignore_case=1", {"-i", "*.jpg"}},
      {"q=e&basename=1&type=f", {"-b", "--type", "f", "e"}},
      {"q=i&q=o", {"i", "o"}},
      {"q=%5C", {"\\"}},
      {"size=%2B1M", {"--size", "+1M"}},
      {"newer=2000-01-01&older=2001-02-03T04:05:07",
       {"--newer", "2000-01-01", "--older", "2001-02-03T04:05:07"}},
      {"description=PAID&ignore_case=1", {"--description", "PAID", "-i"}},
      {"catalogue=*.mur&type=d", {"--catalogue", "*.mur", "--type", "d"}},
      {"q=onerror", {"onerror"}},
      {"q=pictures&path_only=1", {"--path-only", "pictures"}},
      {"q=IMG_000%5B12%5D%5C.JPG%24&regex=1", {"-r", "IMG_000[12]\\.JPG$"}},
      {"catalogue=*%E2%80%AE*", {"--catalogue", "*\u202E*"}},
      {"q=nothing-is-called-this", {"nothing-is-called-this"}},
  };
  for (const Case& test : cases) {
    std::vector<std::string> arguments = {CATFIND_PATH, "--db", database_, "--json"};
    arguments.insert(arguments.end(), test.catfind.begin(), test.catfind.end());
    const RunResult catfind = program_run::Run(arguments);
    ASSERT_LE(catfind.exitStatus, 1) << catfind;
    std::string expected = catfind.out;
    for (size_t newline; (newline = expected.find('\n')) != std::string::npos;) {
      expected.replace(newline, 1, newline + 1 == expected.size() ? "" : ",");
    }
    // Two items a page: the pages together are catfind's answer, in its order.
    std::string answered;
    for (int offset = 0;; offset += 2) {
      const Reply reply =
          server_->Get("/api/search?" + test.query + "&limit=2&offset=" + std::to_string(offset));
      ASSERT_EQ(reply.status, 200) << test.query << ": " << reply.body;
      ASSERT_TRUE(json_check::Parser(reply.body).IsOneValue()) << reply.body;
      const std::string items = ItemsOf(reply.body);
      if (!items.empty()) answered.append(answered.empty() ? "" : ",").append(items);
      if (reply.body.find("\"more\":true") == std::string::npos) break;
      ASSERT_LT(offset, 100) << test.query;
    }
    EXPECT_EQ(answered, expected) << test.query;
  }
}

TEST_F(CatwebTest, ListsTheCataloguesAndOpensTheirFolders) {
  const Reply list = server_->Get("/api/catalogues");
  ASSERT_EQ(list.status, 200) << list.body;
  EXPECT_TRUE(json_check::Parser(list.body).IsOneValue()) << list.body;
  // The hostile file name: its escape a JSON escape, the override as it is.
  EXPECT_NE(list.body.find(
                "\"name\":\"hostile \u202Egpj.exe \\u001b[7m<img src=x onerror=alert(1)>.mur\""),
            std::string::npos)
      << list.body;
  EXPECT_NE(list.body.find("\"name\":\"pictures.mur\",\"format\":\"MUR\",\"status\":\"complete\","
                           "\"state\":\"complete\",\"item_count\":9,\"total_size\":12542700"),
            std::string::npos)
      << list.body;
  EXPECT_NE(list.body.find("\"name\":\"damaged.zex\",\"format\":\"ZEX\",\"status\":\"complete; 1 "
                           "item damaged (result 2), the first item 2\",\"state\":\"damaged\""),
            std::string::npos)
      << list.body;

  const std::string plain = IdOf("\"" + catalogues_.plain + "\"");
  const Reply root = server_->Get("/api/children?catalogue=" + plain);
  ASSERT_EQ(root.status, 200) << root.body;
  EXPECT_TRUE(json_check::Parser(root.body).IsOneValue()) << root.body;
  EXPECT_NE(root.body.find("\"path\":\"\",\"total_size\":12542700,\"child_count\":3"),
            std::string::npos)
      << root.body;
  const Reply pictures = server_->Get("/api/children?catalogue=" + plain + "&path=Pictures");
  ASSERT_EQ(pictures.status, 200) << pictures.body;
  EXPECT_NE(pictures.body.find("\"name\":\"Raw\",\"path\":\"Pictures\\\\Raw\",\"size\":0,"
                               "\"total_size\":9000000,\"mtime\":\"1999-12-31T23:59:58Z\""),
            std::string::npos)
      << pictures.body;
  EXPECT_NE(pictures.body.find("\"name\":\"IMG_0001.JPG\",\"path\":\"Pictures\\\\IMG_0001.JPG\","
                               "\"size\":2000000,\"total_size\":2000000"),
            std::string::npos)
      << pictures.body;
  EXPECT_NE(pictures.body.find("\"description\":\"harbour\""), std::string::npos);
  // Paged as asked, the total count kept.
  const Reply second =
      server_->Get("/api/children?catalogue=" + plain + "&path=Pictures&offset=1&limit=1");
  EXPECT_NE(second.body.find("\"child_count\":3,\"items\":[{\"name\":\"IMG_0002.JPG\""),
            std::string::npos)
      << second.body;
  EXPECT_NE(second.body.find("\"more\":true"), std::string::npos);

  // The hostile folder, opened by its name.
  const std::string hostile = IdOf(
      "\"" +
      std::string(catalogues_.hostile).replace(catalogues_.hostile.find('\x1b'), 1, "\\u001b") +
      "\"");
  const Reply inside = server_->Get("/api/children?catalogue=" + hostile +
                                    "&path=%3Cimg%20src%3Dx%20onerror%3Dalert(1)%3E");
  ASSERT_EQ(inside.status, 200) << inside.body;
  EXPECT_NE(inside.body.find("\"description\":\"<script>window.__xss=2</script>\""),
            std::string::npos)
      << inside.body;

  EXPECT_EQ(server_->Get("/api/children?catalogue=" + plain + "&path=Nowhere").status, 404);
  EXPECT_EQ(server_->Get("/api/children?catalogue=" + plain + "&path=Pictures%5C").status, 404);
  EXPECT_EQ(server_->Get("/api/children?catalogue=999999").status, 404);
}

TEST_F(CatwebTest, RefusesMalformedParametersWith400AndSaysWhy) {
  const std::pair<const char*, const char*> cases[] = {
      {"/api/search", "no pattern"},
      {"/api/search?q=", "no pattern"},
      {"/api/search?q=a&size=zz", "size is +N"},
      {"/api/search?q=a&size=99999999999999999999G", "size is +N"},
      {"/api/search?q=a&newer=2021-02-29", "newer is YYYY-MM-DD"},
      {"/api/search?q=a&older=yesterday", "older is YYYY-MM-DD"},
      {"/api/search?q=a&type=x", "type is f"},
      {"/api/search?q=%FF%FE", "q must be UTF-8"},
      {"/api/search?description=%C3", "description must be UTF-8"},
      {"/api/search?description=", "description needs"},
      {"/api/search?catalogue=", "catalogue needs"},
      {"/api/search?q=a&ignore_case=yes", "ignore_case is 0 or 1"},
      {"/api/search?q=(&regex=1", "not a regular expression: ("},
      {"/api/search?q=a&offset=-1", "offset is a number"},
      {"/api/search?q=a&offset=99999999999999999999999", "offset is a number"},
      {"/api/search?q=a&limit=0", "limit is a number from 1 to 1000"},
      {"/api/search?q=a&limit=1001", "limit is a number from 1 to 1000"},
      {"/api/search?q=a&type=f&type=d", "the parameter type is given more than once"},
      {"/api/search?q=a&colour=red", "unknown parameter"},
      {"/api/catalogues?limit=5000", "limit is a number"},
      {"/api/children", "catalogue (a catalogue's id) is needed"},
      {"/api/children?catalogue=abc", "catalogue is a catalogue's id"},
      {"/api/children?catalogue=99999999999999999999", "catalogue is a catalogue's id"},
      {"/api/children?catalogue=1&path=%FF", "path must be UTF-8"},
  };
  for (const auto& [target, why] : cases) {
    const Reply reply = server_->Get(target);
    EXPECT_EQ(reply.status, 400) << target << ": " << reply.body;
    EXPECT_EQ(reply.Header("content-type"), "application/json; charset=utf-8") << target;
    EXPECT_TRUE(json_check::Parser(reply.body).IsOneValue()) << reply.body;
    EXPECT_NE(reply.body.find(std::string("{\"error\":\"") + why), std::string::npos)
        << target << ": " << reply.body;
  }
  // A value shown in a message is shown safely.
  EXPECT_NE(server_->Get("/api/search?q=a&size=%1B%5B2J").body.find("not '\\\\033[2J'"),
            std::string::npos);
}

TEST_F(CatwebTest, AnswersOnlyItsOwnHostAndOnlyGetAndHead) {
  const std::string port = std::to_string(server_->port());
  auto statusFor = [&](const std::string& request) {
    return Exchange(server_->port(), request).status;
  };
  const std::string tail = "\r\nConnection: close\r\n\r\n";
  EXPECT_EQ(statusFor("GET / HTTP/1.1\r\nHost: 127.0.0.1:" + port + tail), 200);
  EXPECT_EQ(statusFor("GET / HTTP/1.1\r\nHost: LocalHost:" + port + tail), 200);
  // A DNS name rebound to 127.0.0.1, another port, no port, no Host at all: refused.
  for (const std::string& host :
       std::vector<std::string>{"evil.example:" + port, "127.0.0.1:1", "127.0.0.1", "localhost",
                                "127.0.0.1:" + port + ".evil.example"}) {
    const Reply reply =
        Exchange(server_->port(), "GET /api/catalogues HTTP/1.1\r\nHost: " + host + tail);
    EXPECT_EQ(reply.status, 421) << host;
    EXPECT_EQ(reply.body.find(catalogues_.plain), std::string::npos) << host;
  }
  EXPECT_EQ(statusFor("GET / HTTP/1.0" + tail), 421);

  for (const char* method : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS"}) {
    const Reply reply =
        Exchange(server_->port(), std::string(method) +
                                      " /api/search?q=a HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                                      "\r\nContent-Length: 2" + tail + "{}");
    EXPECT_EQ(reply.status, 405) << method;
    EXPECT_EQ(reply.Header("allow"), "GET, HEAD") << method;
  }
  const Reply head = Exchange(server_->port(), "HEAD / HTTP/1.1\r\nHost: 127.0.0.1:" + port + tail);
  EXPECT_EQ(head.status, 200);
  EXPECT_TRUE(head.body.empty());

  // Only the page's own files, from memory; every answer with the same guards.
  for (const char* target :
       {"/", "/app.js", "/app.css", "/favicon.svg", "/api/search?q=x", "/api/search", "/index.html",
        "/../../../etc/passwd", "/%2e%2e/etc/passwd", "/README.md"}) {
    const Reply reply = server_->Get(target);
    if (std::string(target).find("passwd") != std::string::npos ||
        std::string(target) == "/README.md" || std::string(target) == "/index.html") {
      EXPECT_EQ(reply.status, 404) << target;
      EXPECT_EQ(reply.body.find("root:"), std::string::npos);
    }
    EXPECT_EQ(reply.Header("x-content-type-options"), "nosniff") << target;
    EXPECT_EQ(reply.Header("referrer-policy"), "no-referrer") << target;
    const std::string policy = reply.Header("content-security-policy");
    EXPECT_NE(policy.find("default-src 'self'"), std::string::npos) << target;
    EXPECT_NE(policy.find("frame-ancestors 'none'"), std::string::npos) << target;
    EXPECT_EQ(policy.find("unsafe-inline"), std::string::npos) << target;
  }
  // The page holds no inline script or style for the policy to refuse.
  const std::string page = server_->Get("/").body;
  EXPECT_EQ(page.find("<script>"), std::string::npos);
  EXPECT_EQ(page.find("style="), std::string::npos);
  EXPECT_EQ(page.find("<style"), std::string::npos);
}

// The time limit stops a query that reads too much; an index not made yet answers 503 until
// catindex makes it; SIGTERM stops the server with status 0.
TEST(CatwebLimits, StopsLongQueriesAndWaitsForTheIndex) {
  Scratch scratch;
  const std::string database = scratch.path + "/big.sqlite";
  {
    index_db::IndexDb db;
    std::string error;
    ASSERT_TRUE(index_db::OpenIndex(database, index_db::Access::kCreate, &db, &error)) << error;
    ASSERT_TRUE(index_db::Execute(
        db,
        "BEGIN;"
        "INSERT INTO catalogues (id, path, device, inode, size, mtime_ns, format, status, "
        "item_count, listed_at) VALUES (1, '/disks/big.mur', 1, 1, 1, 0, 'MUR', 'complete', "
        "300000, 0);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300000) "
        "INSERT INTO items (catalogue, path, size, creation_time, access_time, write_time, "
        "attributes, description, damaged) SELECT 1, 'folder' || (i / 100) || '\\file' || i, "
        "i, 0, 0, 0, 32, '', 0 FROM n;"
        "UPDATE catalogues SET first_item = 1, last_item = 300000;"
        "COMMIT;",
        &error))
        << error;
  }
  {
    Catweb server(scratch.path, {"--db", database, "--time-limit", "1"});
    ASSERT_NE(server.port(), 0) << server.Said();
    // Two characters: every row is read, far past 1 ms. What was found is answered, as partial.
    const Reply search = server.Get("/api/search?q=zz");
    EXPECT_EQ(search.status, 200) << search.body;
    EXPECT_NE(search.body.find("\"partial\":true"), std::string::npos) << search.body;
    const Reply folder = server.Get("/api/children?catalogue=1");
    EXPECT_EQ(folder.status, 503) << folder.body;
    EXPECT_NE(folder.body.find("took too long"), std::string::npos) << folder.body;
    const Reply list = server.Get("/api/catalogues");
    EXPECT_EQ(list.status, 200) << list.body;
    EXPECT_NE(list.body.find("\"total_size\":null"), std::string::npos) << list.body;
    EXPECT_EQ(server.Stop(), 0) << server.Said();
  }
  {
    // Without the limit, the same answers complete.
    Catweb server(scratch.path, {"--db", database});
    ASSERT_NE(server.port(), 0) << server.Said();
    EXPECT_NE(server.Get("/api/search?q=zz").body.find("\"more\":false,\"partial\":false"),
              std::string::npos);
    EXPECT_NE(server.Get("/api/children?catalogue=1&path=folder7").body.find("\"child_count\":100"),
              std::string::npos);
  }

  const std::string later = scratch.path + "/later.sqlite";
  Catweb waiting(scratch.path, {"--db", later});
  ASSERT_NE(waiting.port(), 0) << waiting.Said();
  EXPECT_NE(waiting.Said().find("no index here"), std::string::npos) << waiting.Said();
  const Reply before = waiting.Get("/api/catalogues");
  EXPECT_EQ(before.status, 503);
  EXPECT_NE(before.body.find("no index here (catindex builds it)"), std::string::npos)
      << before.body;
  const RunResult indexed =
      program_run::Run({CATINDEX_PATH, "--db", later, SOURCE_DIR "/samples/photos.mur"});
  ASSERT_EQ(indexed.exitStatus, 0) << indexed;
  const Reply after = waiting.Get("/api/catalogues");
  EXPECT_EQ(after.status, 200) << after.body;
  EXPECT_NE(after.body.find("photos.mur"), std::string::npos) << after.body;

  // Usage errors are told apart from failures to serve.
  EXPECT_EQ(program_run::Run({CATWEB_PATH, "--listen", "example.com:80"}).exitStatus, 2);
  EXPECT_EQ(program_run::Run({CATWEB_PATH, "--time-limit", "0"}).exitStatus, 2);
  const RunResult taken = program_run::Run(
      {CATWEB_PATH, "--db", later, "--listen", "127.0.0.1:" + std::to_string(waiting.port())});
  EXPECT_EQ(taken.exitStatus, 1) << taken;
  EXPECT_NE(taken.err.find("cannot listen on 127.0.0.1:"), std::string::npos) << taken;
}

}  // namespace
