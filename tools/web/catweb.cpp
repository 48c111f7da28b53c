// catweb: every indexed catalogue in a web browser. A small HTTP server over the index that
// catindex builds, read-only as catfind reads it, serving one page (embedded in the program)
// and a JSON API (web_api.h).
//
// What keeps it safe: it listens on the loopback address unless told otherwise; it answers
// only requests whose Host header names the address it listens on (or localhost), so a page of
// another site cannot reach it through a DNS name rebound to 127.0.0.1; only GET and HEAD; no
// file is served from disk; every answer forbids scripts and styles but its own, framing and
// content sniffing; and the page puts every catalogue text in the document as text.
#include <arpa/inet.h>
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/common/display_text.h"
#include "tools/common/option_parser.h"
#include "tools/index/index_db.h"
#include "tools/web/page_assets.h"
#include "tools/web/web_api.h"

#if __has_include("catalogue_version.h")
#include "catalogue_version.h"
#else
#define CATALOGUE_VERSION "unversioned"
#endif

namespace {

constexpr int kStopped = 0;
constexpr int kCannotServe = 1;
constexpr int kUsage = 2;

constexpr int kDefaultPort = 8734;
constexpr int kDefaultTimeLimitMs = 5000;
// Requests served at once; a search holds one of these for at most the time limit.
constexpr size_t kThreads = 4;

constexpr char kUsageText[] =
    "usage: catweb [--db FILE] [--listen ADDR:PORT] [OPTIONS]\n"
    "Serves a page and a JSON API to browse and search every catalogue of the index that\n"
    "catindex builds, read-only; open http://127.0.0.1:8734/ in a browser.\n"
    "  --db FILE            the index (default $XDG_DATA_HOME/catalogue-modules/index.sqlite,\n"
    "                       else ~/.local/share/catalogue-modules/index.sqlite)\n"
    "  --listen ADDR:PORT   the address to listen on (default 127.0.0.1:8734; [::1]:PORT for\n"
    "                       IPv6; port 0 takes a free one); others than loopback are warned of\n"
    "  --allow-host HOST    also answer requests for HOST (a name of this machine, with\n"
    "                       :PORT or without); repeatable\n"
    "  --time-limit MS      stop each query after MS milliseconds (default 5000)\n"
    "  -h, --help           show this help\n"
    "      --version        show the version\n"
    "\n"
    "Exit status: 0 stopped by SIGINT or SIGTERM, 1 cannot listen or read the index, 2 usage.\n";

constexpr cli::Program kProgram{"catweb", kUsage, kUsage};

enum OptionId { kDb, kListen, kAllowHost, kTimeLimit, kHelp, kVersion };

constexpr cli::Option kOptions[] = {
    {kDb, 0, "db", "a FILE", true},
    {kListen, 0, "listen", "an ADDR:PORT", true},
    {kAllowHost, 0, "allow-host", "a HOST", true},
    {kTimeLimit, 0, "time-limit", "a number of milliseconds"},
    {kHelp, 'h', "help"},
    {kVersion, 0, "version"},
};

struct Options {
  std::string dbPath;
  std::string address = "127.0.0.1";
  int port = kDefaultPort;
  bool ipv6 = false;
  std::vector<std::string> allowedHosts;
  int timeLimitMs = kDefaultTimeLimitMs;
};

std::string Lowercase(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

// ADDR:PORT, ADDR an IPv4 address, [IPv6] or localhost; false when it is none of these.
bool ParseListen(std::string_view text, Options* options) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string_view address = text.substr(0, colon);
  const std::string_view port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != port.npos) {
    return false;
  }
  const int number = std::stoi(std::string(port));
  if (number > 65535) return false;
  bool ipv6 = false;
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
    ipv6 = true;
  } else if (Lowercase(address) == "localhost") {
    address = "127.0.0.1";
  }
  unsigned char bytes[16];
  if (inet_pton(ipv6 ? AF_INET6 : AF_INET, std::string(address).c_str(), bytes) != 1) {
    return false;
  }
  // The address as inet_ntop writes it, so that the Host header is compared with one form.
  char shown[INET6_ADDRSTRLEN];
  inet_ntop(ipv6 ? AF_INET6 : AF_INET, bytes, shown, sizeof shown);
  options->address = shown;
  options->ipv6 = ipv6;
  options->port = number;
  return true;
}

bool IsLoopback(const Options& options) {
  unsigned char bytes[16];
  if (options.ipv6) {
    inet_pton(AF_INET6, options.address.c_str(), bytes);
    static constexpr unsigned char kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::equal(bytes, bytes + 16, kLoopback);
  }
  inet_pton(AF_INET, options.address.c_str(), bytes);
  return bytes[0] == 127;
}

// -1 when the options are usable, else the exit status.
int ParseOptions(int argc, char** argv, Options* options) {
  cli::OptionParser parser(argc, argv, kOptions);
  for (cli::Item item; parser.Next(&item);) {
    switch (item.id) {
      case cli::kError:
        return cli::UsageError(kProgram, item.error);
      case cli::kOperand:
        return cli::UsageError(kProgram,
                               std::string("no operand is taken: ").append(ShownName(item.value)));
      case kDb:
        options->dbPath = item.value;
        break;
      case kListen:
        if (!ParseListen(item.value, options)) {
          return cli::UsageError(kProgram,
                                 std::string("--listen is ADDR:PORT (127.0.0.1:8734, [::1]:8734), "
                                             "not ")
                                     .append(ShownName(item.value)));
        }
        break;
      case kAllowHost:
        if (item.value.find_first_of(" /\\@,") != std::string_view::npos) {
          return cli::UsageError(
              kProgram, std::string("--allow-host is a HOST, not ").append(ShownName(item.value)));
        }
        options->allowedHosts.push_back(Lowercase(item.value));
        break;
      case kTimeLimit: {
        const std::string_view text = item.value;
        if (text.empty() || text.size() > 6 ||
            text.find_first_not_of("0123456789") != std::string_view::npos ||
            std::stoi(std::string(text)) < 1 || std::stoi(std::string(text)) > 600000) {
          return cli::UsageError(kProgram, "--time-limit needs milliseconds from 1 to 600000");
        }
        options->timeLimitMs = std::stoi(std::string(text));
        break;
      }
      case kHelp:
        return cli::PrintInfo(kProgram, kUsageText);
      case kVersion:
        return cli::PrintInfo(kProgram, cli::VersionText("catweb", CATALOGUE_VERSION));
    }
  }
  if (options->dbPath.empty()) options->dbPath = index_db::DefaultIndexPath();
  return -1;
}

void Say(const std::string& message) {
  std::string line = std::string("catweb: ").append(message).append("\n");
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// What every answer carries: the page runs only its own script and style, in no frame, and
// nothing is sniffed, cached or sent on as a referrer.
httplib::Headers SafetyHeaders() {
  return {
      {"Content-Security-Policy",
       "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; "
       "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; "
       "frame-ancestors 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"X-Frame-Options", "DENY"},
      {"Cross-Origin-Opener-Policy", "same-origin"},
      {"Cross-Origin-Resource-Policy", "same-origin"},
      {"Cache-Control", "no-store"},
  };
}

void AnswerJson(httplib::Response& response, int status, const std::string& body) {
  response.status = status;
  response.set_content(body, "application/json; charset=utf-8");
}

// An API call, timed for the Server-Timing header.
httplib::Server::Handler ApiHandler(catweb::Answer (catweb::Api::*call)(const catweb::Parameters&),
                                    catweb::Api& api) {
  return [call, &api](const httplib::Request& request, httplib::Response& response) {
    const auto started = std::chrono::steady_clock::now();
    const catweb::Parameters parameters(request.params.begin(), request.params.end());
    const catweb::Answer answer = (api.*call)(parameters);
    const std::chrono::duration<double, std::milli> took =
        std::chrono::steady_clock::now() - started;
    char timing[48];
    std::snprintf(timing, sizeof timing, "api;dur=%.3f", took.count());
    response.set_header("Server-Timing", timing);
    AnswerJson(response, answer.status, answer.body);
  };
}

int Serve(const Options& options) {
  catweb::Api api(options.dbPath, std::chrono::milliseconds(options.timeLimitMs));
  std::string error;
  {
    // A missing index is waited for (the service may start before the first catindex);
    // anything else that keeps it from being read is said now.
    catweb::IndexConnections::Lease lease;
    if (!api.connections().Borrow(&lease, &error)) {
      if (!api.connections().Missing()) {
        Say(error);
        return kCannotServe;
      }
      Say(std::string("warning: ").append(error).append("; answering 503 until it is there"));
    }
  }

  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  server.set_payload_max_length(0);
  server.set_default_headers(SafetyHeaders());
  // SO_REUSEADDR only: the library's default adds SO_REUSEPORT, which would let a second
  // server share the port instead of failing.
  server.set_socket_options([](socket_t socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });

  std::vector<std::string> hosts;  // filled once the port is known
  server.set_pre_routing_handler(
      [&hosts](const httplib::Request& request, httplib::Response& response) {
        const std::string host = Lowercase(request.get_header_value("Host"));
        if (std::find(hosts.begin(), hosts.end(), host) == hosts.end()) {
          AnswerJson(response, 421,
                     catweb::ErrorBody(std::string("this server answers requests for ")
                                           .append(hosts.front())
                                           .append(" only")));
          return httplib::Server::HandlerResponse::Handled;
        }
        if (request.method != "GET" && request.method != "HEAD") {
          response.set_header("Allow", "GET, HEAD");
          AnswerJson(response, 405, catweb::ErrorBody("only GET and HEAD are answered"));
          return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
      });
  server.Get("/api/search", ApiHandler(&catweb::Api::Search, api));
  server.Get("/api/catalogues", ApiHandler(&catweb::Api::Catalogues, api));
  server.Get("/api/children", ApiHandler(&catweb::Api::Children, api));
  server.Get(".*", [](const httplib::Request& request, httplib::Response& response) {
    const page_assets::Asset* asset = page_assets::Find(request.path);
    if (asset == nullptr) {
      AnswerJson(response, 404, catweb::ErrorBody("no such page"));
      return;
    }
    response.set_content(reinterpret_cast<const char*>(asset->data), asset->size,
                         std::string(asset->contentType).c_str());
  });
  // Failures the library answers itself (a malformed request, a URI too long): in JSON too.
  server.set_error_handler(httplib::Server::HandlerWithResponse(
      [](const httplib::Request&, httplib::Response& response) {
        if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        AnswerJson(response, response.status,
                   catweb::ErrorBody(std::string("HTTP ").append(std::to_string(response.status))));
        return httplib::Server::HandlerResponse::Handled;
      }));
  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        AnswerJson(response, 500, catweb::ErrorBody("internal error"));
      });

  const std::string shownAddress =
      options.ipv6 ? std::string("[").append(options.address).append("]") : options.address;
  int port = options.port;
  if (port == 0) {
    port = server.bind_to_any_port(options.address);
  } else if (!server.bind_to_port(options.address, port)) {
    port = -1;
  }
  if (port < 0) {
    Say(std::string("cannot listen on ")
            .append(shownAddress)
            .append(":")
            .append(std::to_string(options.port)));
    return kCannotServe;
  }
  const std::string suffix = std::string(":").append(std::to_string(port));
  hosts.push_back(Lowercase(shownAddress) + suffix);
  hosts.push_back("localhost" + suffix);
  for (const std::string& host : options.allowedHosts) {
    // A name or [IPv6 address] without a port is taken with the listening port.
    const bool portless =
        host.find(':') == std::string::npos || (host.front() == '[' && host.back() == ']');
    hosts.push_back(portless ? host + suffix : host);
  }
  if (!IsLoopback(options)) {
    Say(std::string("warning: listening on ")
            .append(shownAddress)
            .append(", not a loopback address: whoever reaches it may read every catalogue's "
                    "names"));
  }
  Say(std::string("serving ")
          .append(ShownName(options.dbPath))
          .append(" at http://")
          .append(hosts.front())
          .append("/"));

  // SIGINT and SIGTERM stop the server from a thread of their own: stop() is no call for a
  // signal handler.
  std::thread stopper([&server] {
    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGTERM);
    int received = 0;
    sigwait(&stopping, &received);
    server.stop();
  });
  const bool listened = server.listen_after_bind();
  if (server.is_running() || !listened) kill(getpid(), SIGTERM);  // wakes the stopper
  stopper.join();
  if (!listened) {
    Say("the server stopped on an error");
    return kCannotServe;
  }
  return kStopped;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int status = ParseOptions(argc, argv, &options); status >= 0) return status;
  // Blocked in every thread, and taken by the stopper thread alone.
  sigset_t stopping;
  sigemptyset(&stopping);
  sigaddset(&stopping, SIGINT);
  sigaddset(&stopping, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return Serve(options);
}
