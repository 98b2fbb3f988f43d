// The page's server in this process, asked over real loopback sockets from
// several loopback addresses, as a control room's browsers would: how many
// pages it streams to and what the rest still get, TLS, and its door.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <httplib.h>

#include "metrics_http.h"
#include "site_http.h"
#include "site_view.h"
#include "station_table.h"
#include "support/service_fixture.h"

namespace pelmora::gateway {
namespace {

constexpr char kToken[] = "pG7rT0kQ2vX9mB4nW8sL1zY6cH3dF5jA";
constexpr char kMac[] = "02-00-00-00-00-01";

// A TCP connection from the loopback address `from`, closed with it.
class Connection {
 public:
  Connection(const std::string& from, int port)
      : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &address.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address),
                           sizeof address) == 0;
  }
  ~Connection() { ::close(fd_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends a request; what came back until `marker` showed, the server
  // closed, or 10 s passed without a byte.
  std::string Ask(const std::string& request, const std::string& marker) {
    if (!connected_ ||
        ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) < 0)
      return "";
    std::string answer;
    pollfd ready{fd_, POLLIN, 0};
    char buffer[4096];
    while (answer.find(marker) == std::string::npos &&
           ::poll(&ready, 1, 10000) == 1) {
      const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      answer.append(buffer, static_cast<std::size_t>(got));
    }
    return answer;
  }

 private:
  int fd_;
  bool connected_ = false;
};

std::string Request(const std::string& method, const std::string& path,
                    int port, const std::string& headers = "",
                    const std::string& body = "") {
  return method + " " + path +
         " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" +
         headers +
         (method == "GET"
              ? ""
              : "Content-Type: application/json\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\n") +
         "\r\n" + body;
}

// The status of one request from `from`, the whole answer in `answer`;
// 0 for none.
int Status(const std::string& from, int port, const std::string& request,
           std::string* answer = nullptr) {
  Connection connection(from, port);
  // The server closes each connection after its answer.
  const std::string text = connection.Ask(request, "\x01");
  if (answer != nullptr) *answer = text;
  return text.size() > 12 ? std::atoi(text.c_str() + 9) : 0;
}

// A view of one station of one point "T", served as `options` say.
class SiteHttpTest : public ::testing::Test {
 protected:
  void Serve(HttpOptions options) {
    view_.Watch(&table_);
    const Moment now = Moment::Now();
    table_.Apply({0x01, {2, 0, 0, 0, 0, 1}, {"T|1"}}, from_, now);
    view_.Admit(kMac, from_, now, table_);
    options.port = 0;
    // Time stands still: a wait, once set, lasts through the test.
    http_ = std::make_unique<SiteHttp>(view_, std::move(options), [] {
      return AuthBackoff::Clock::time_point{};
    });
    std::string error;
    ASSERT_TRUE(http_->Start(&error)) << error;
  }
  int port() const { return http_->port(); }

  const wire::Endpoint from_{0x7F000001, 4000};
  StationTable table_{{}};
  SiteView view_;
  std::unique_ptr<SiteHttp> http_;
};

// A control room: 200 pages stream from ten machines, and the JSON, the
// page and a write still answer; the next page, and one more from a
// machine at its own limit, are refused at once and counted.
TEST_F(SiteHttpTest, TwoHundredPagesStreamAndTheRestIsStillServed) {
  HttpOptions options;
  options.token = kToken;
  options.maxStreams = 200;
  options.streamsPerClient = 20;
  Serve(options);
  const std::string stream = Request("GET", "/api/stream", port());
  std::vector<std::unique_ptr<Connection>> pages;
  for (int i = 0; i < 200; ++i) {
    const std::string from = "127.0.0." + std::to_string(10 + i / 20);
    pages.push_back(std::make_unique<Connection>(from, port()));
    ASSERT_NE(pages.back()->Ask(stream, "retry: 1000").find("retry: 1000"),
              std::string::npos)
        << "stream " << i;
  }
  const std::string write = R"({"station":")" + std::string(kMac) +
                            R"(","point":"54","value":"2","client":"w1"})";
  std::string answer;
  const struct {
    const char* from;
    std::string request;
    int status;
  } asks[] = {
      {"127.0.0.2", Request("GET", "/api/stations", port()), 200},
      {"127.0.0.2", Request("GET", "/", port()), 200},
      {"127.0.0.2",
       Request("GET", std::string("/api/stations/") + kMac + "/points", port()),
       200},
      {"127.0.0.2",
       Request("POST", "/api/write", port(),
               std::string("Authorization: Bearer ") + kToken + "\r\n", write),
       202},
      {"127.0.0.2", stream, 503},   // the 201st page
      {"127.0.0.10", stream, 503},  // its machine's 21st
  };
  for (const auto& a : asks) {
    EXPECT_EQ(Status(a.from, port(), a.request, &answer), a.status)
        << a.request << answer;
  }
  EXPECT_NE(answer.find("Retry-After: 5\r\n"), std::string::npos) << answer;
  EXPECT_EQ(view_.TakeWrites().size(), 1u);
  Status("127.0.0.2", port(), Request("GET", "/api/http", port()), &answer);
  EXPECT_NE(answer.find("\"streams\":200,"), std::string::npos) << answer;
  EXPECT_NE(answer.find("\"streams_refused\":2,"), std::string::npos) << answer;
  // A page closed gives its place to the next, once the server has seen
  // it go.
  pages.pop_back();
  for (int ask = 0;
       ask < 100000 && answer.find("\"streams\":199,") == std::string::npos;
       ++ask) {
    Connection counters("127.0.0.2", port());
    answer = counters.Ask(Request("GET", "/api/http", port()), "}");
  }
  Connection next("127.0.0.2", port());
  EXPECT_NE(next.Ask(stream, "retry: 1000").find("retry: 1000"),
            std::string::npos);
}

// Listening beyond loopback: reads need the token (as the header, or the
// key that logging in sets as a cookie), writes need TLS, and an address
// that keeps guessing is made to wait, alone.
TEST_F(SiteHttpTest, BeyondLoopbackReadsNeedTheTokenAndGuessersWait) {
  HttpOptions options;
  ASSERT_TRUE(ParseHttpListen("0.0.0.0:0", &options));
  options.token = kToken;
  Serve(options);
  const std::string bearer = std::string("Authorization: Bearer ") + kToken;
  const std::string stations = "/api/stations";
  std::string answer;
  const struct {
    const char* from;
    std::string method;
    std::string path;
    std::string headers;
    int status;
  } asks[] = {
      {"127.0.0.2", "GET", "/", "", 200},  // the page itself asks for it
      {"127.0.0.2", "GET", stations, "", 401},
      {"127.0.0.2", "GET", "/api/stream", "", 401},
      {"127.0.0.2", "GET", stations, bearer + "\r\n", 200},
      {"127.0.0.3", "GET", stations, "Authorization: Bearer x\r\n", 401},
      {"127.0.0.3", "POST", "/api/login", "Authorization: Bearer y\r\n", 401},
      {"127.0.0.3", "GET", stations, "Cookie: pelmora_reads=00\r\n", 401},
      {"127.0.0.3", "GET", stations, "Authorization: Bearer z\r\n", 401},
      {"127.0.0.3", "GET", stations, "Authorization: Bearer w\r\n", 401},
      // The fourth wrong token costs a wait, the right one too meanwhile.
      {"127.0.0.3", "GET", stations, bearer + "\r\n", 429},
      {"127.0.0.2", "GET", stations, bearer + "\r\n", 200},
  };
  for (const auto& a : asks) {
    EXPECT_EQ(Status(a.from, port(),
                     Request(a.method, a.path, port(), a.headers), &answer),
              a.status)
        << a.from << " " << a.method << " " << a.path << " " << a.headers
        << "\n"
        << answer;
  }
  // Logging in hands out a key that reads, and only reads.
  ASSERT_EQ(
      Status("127.0.0.4", port(),
             Request("POST", "/api/login", port(), bearer + "\r\n"), &answer),
      204);
  std::smatch cookie;
  ASSERT_TRUE(std::regex_search(
      answer, cookie,
      std::regex("Set-Cookie: (pelmora_reads=[0-9a-f]{32}); Path=/; HttpOnly; "
                 "SameSite=Strict\r\n")))
      << answer;
  const std::string key = "Cookie: theme=dark; " + cookie[1].str() + "\r\n";
  EXPECT_EQ(Status("127.0.0.4", port(), Request("GET", stations, port(), key)),
            200);
  const std::string write = R"({"station":")" + std::string(kMac) +
                            R"(","point":"54","value":"2","client":"w1"})";
  EXPECT_EQ(
      Status("127.0.0.4", port(),
             Request("POST", "/api/write", port(), bearer + "\r\n", write),
             &answer),
      403);
  EXPECT_NE(answer.find("writes need TLS"), std::string::npos) << answer;
  Status("127.0.0.4", port(), Request("GET", "/api/http", port(), key),
         &answer);
  EXPECT_NE(answer.find("\"token_failures\":4,"), std::string::npos) << answer;
  EXPECT_NE(answer.find("\"token_tries_too_early\":1}"), std::string::npos)
      << answer;
}

TEST(SiteHttpStart, BeyondLoopbackWithoutATokenReadsAreOpenedExplicitly) {
  SiteView view;
  HttpOptions options;
  ASSERT_TRUE(ParseHttpListen("0.0.0.0:0", &options));
  std::string error;
  EXPECT_FALSE(SiteHttp(view, options).Start(&error));
  EXPECT_NE(error.find("--http-open-reads"), std::string::npos) << error;
  options.openReads = true;
  SiteHttp open(view, options);
  ASSERT_TRUE(open.Start(&error)) << error;
  EXPECT_EQ(Status("127.0.0.2", open.port(),
                   Request("GET", "/api/stations", open.port())),
            200);
}

// A SIGTERM right after the gateway says it listens stops its servers
// before their threads have begun to accept: each stop must still end them
// (a hang here is caught by the run's time limit).
TEST(SiteHttpStart, AStopRightAfterTheStartEndsBothServers) {
  SiteView view;
  MetricsBoard board;
  HttpOptions options;
  options.port = 0;
  for (int i = 0; i < 200; ++i) {
    std::string error;
    SiteHttp page(view, options);
    ASSERT_TRUE(page.Start(&error)) << error;
    page.Stop();
    MetricsHttp metrics(board, "127.0.0.1", 0);
    ASSERT_TRUE(metrics.Start(&error)) << error;
    metrics.Stop();
  }
}

// The page over TLS with a certificate the test makes: a client that
// trusts its CA reads, and its browser's Origin is https://.
TEST(SiteHttpTls, ServesWithTheCertificateGivenAndNamesABadOne) {
  const testing::TempDir pki;
  const std::string d = pki.path() + "/";
  const std::string newKey =
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
      "-days 1 2>/dev/null ";
  const std::string script =
      "cd " + d + " && " + newKey +
      "-x509 -subj /CN=site-ca -keyout ca.key -out ca.pem && " + newKey +
      "-subj /CN=127.0.0.1 -keyout page.key -out page.csr && "
      "printf 'subjectAltName=IP:127.0.0.1\\n' > san && "
      "openssl x509 -req -in page.csr -CA ca.pem -CAkey ca.key "
      "-CAcreateserial -days 1 -extfile san -out page.pem 2>/dev/null";
  ASSERT_EQ(std::system(script.c_str()), 0);
  SiteView view;
  HttpOptions options;
  options.port = 0;
  options.certFile = d + "page.pem";
  options.keyFile = d + "ca.key";  // not the certificate's
  std::string error;
  EXPECT_FALSE(SiteHttp(view, options).Start(&error));
  EXPECT_NE(error.find(d + "ca.key"), std::string::npos) << error;

  options.keyFile = d + "page.key";
  options.token = kToken;
  SiteHttp http(view, options);
  ASSERT_TRUE(http.Start(&error)) << error;
  EXPECT_STREQ(http.scheme(), "https");
  httplib::SSLClient client("127.0.0.1", http.port());
  client.set_ca_cert_path((d + "ca.pem").c_str());
  client.enable_server_certificate_verification(true);
  const std::string self = "127.0.0.1:" + std::to_string(http.port());
  for (const auto& [origin, status] : std::vector<std::pair<std::string, int>>{
           {"https://" + self, 200}, {"http://" + self, 403}}) {
    const auto answer = client.Get("/api/writes", {{"Origin", origin}});
    ASSERT_TRUE(answer) << origin;
    EXPECT_EQ(answer->status, status) << origin;
    if (status == 200) {
      EXPECT_EQ(answer->body, R"({"enabled":true,"refused":0,"why":null})");
    }
  }
  // Plain HTTP to it gets no answer.
  EXPECT_EQ(Status("127.0.0.2", http.port(),
                   Request("GET", "/api/stations", http.port())),
            0);
}

}  // namespace
}  // namespace pelmora::gateway
