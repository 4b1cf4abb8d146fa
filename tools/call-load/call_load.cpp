// Load client for scripts/bench-server: simulated controls, each making the requests of one
// UpdateComponents call after another against the component server on 127.0.0.1, and timing
// each call from its connect to its last byte. Built natively by the benchmark:
//   c++ -O2 -std=c++17 -pthread call_load.cpp -o call-load -lssl -lcrypto
//
//   call-load --port P --mode keep-alive|per-request|tls-only --clients N --warmup S --duration S
//             --catalog PATH:LENGTH [--package PATH:LENGTH]... --handshake PATH --reply-length L
//
// A call is the catalog GET, then for each --package a handshake POST with a fresh challenge
// and the package GET. keep-alive: the call's requests share one TLS connection, opened for
// the call (as Wine's WinINet does); per-request: a new connection for each request (the worst
// case); tls-only: a call is one TLS handshake and nothing else (the machine's floor).
// A reply counts as good only with status 200 and the expected length; a handshake reply must
// also echo its challenge. Sessions are never resumed: every connection is a full handshake.
//
// Prints "MEASURING" when the warm-up ends and "MEASURED" when the measured window closes, so
// that the caller can read other processes' CPU times at those moments, then one line
// "RESULT name=value ...". Only calls that end inside the window count.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

enum class Mode { kKeepAlive, kPerRequest, kTlsOnly };
enum class Phase { kWarmUp, kMeasuring, kDone };

constexpr size_t kChallengeBytes = 1024;
constexpr int kSocketTimeoutSeconds = 10;

struct Resource {
  std::string path;
  size_t length = 0;
};

struct Options {
  int port = 0;
  std::string serverName = "localhost";
  Mode mode = Mode::kKeepAlive;
  int clients = 16;
  double warmupSeconds = 1;
  double durationSeconds = 5;
  Resource catalog;
  std::vector<Resource> packages;
  std::string handshakePath = "/client/session.cgi";
  size_t replyLength = 0;
};

// What one client counted inside the measured window.
struct Tally {
  std::vector<uint32_t> callMicroseconds;
  uint64_t requests = 0;
  uint64_t failedCalls = 0;
  uint64_t connectErrors = 0;
  uint64_t tlsErrors = 0;
  uint64_t ioErrors = 0;
  uint64_t statusErrors = 0;
  uint64_t lengthErrors = 0;
  uint64_t echoErrors = 0;
};

struct SslContextFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslContext = std::unique_ptr<SSL_CTX, SslContextFree>;

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Why a call failed, counted by kind.
struct Failure {
  uint64_t Tally::*counter;
};

// One TLS connection to the server, closed when it goes.
class Connection {
 public:
  Connection(SSL_CTX* context, const Options& options) : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (socket_.get() < 0) throw Failure{&Tally::connectErrors};
    const int on = 1;
    ::setsockopt(socket_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    const timeval timeout{kSocketTimeoutSeconds, 0};
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(options.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      throw Failure{&Tally::connectErrors};
    }
    ssl_.reset(SSL_new(context));
    if (!ssl_ || SSL_set_fd(ssl_.get(), socket_.get()) != 1 ||
        SSL_set_tlsext_host_name(ssl_.get(), options.serverName.c_str()) != 1 || SSL_connect(ssl_.get()) != 1) {
      ERR_clear_error();
      throw Failure{&Tally::tlsErrors};
    }
  }

  ~Connection() {
    // close_notify, as a client that ends its session cleanly sends it; its result is moot.
    if (ssl_) SSL_shutdown(ssl_.get());
    ERR_clear_error();
  }

  void send(const std::string& bytes) {
    size_t written = 0;
    if (SSL_write_ex(ssl_.get(), bytes.data(), bytes.size(), &written) != 1 || written != bytes.size()) {
      ERR_clear_error();
      throw Failure{&Tally::ioErrors};
    }
  }

  // Reads one response; its body lands in body. Only Content-Length framing is expected:
  // nginx frames every reply of this server that way.
  int receive(std::string& body) {
    std::string head;
    char chunk[16384];
    size_t end;
    while ((end = head.find("\r\n\r\n")) == std::string::npos) {
      if (head.size() > 65536) throw Failure{&Tally::statusErrors};
      head.append(chunk, read(chunk, sizeof(chunk)));
    }
    body.assign(head, end + 4, std::string::npos);
    head.resize(end + 2);
    int status = 0;
    if (std::sscanf(head.c_str(), "HTTP/1.%*d %d", &status) != 1) throw Failure{&Tally::statusErrors};
    const size_t length = contentLength(head);
    while (body.size() < length) body.append(chunk, read(chunk, std::min(sizeof(chunk), length - body.size())));
    if (body.size() != length) throw Failure{&Tally::lengthErrors};
    return status;
  }

 private:
  size_t read(char* into, size_t size) {
    size_t got = 0;
    if (SSL_read_ex(ssl_.get(), into, size, &got) != 1 || got == 0) {
      ERR_clear_error();
      throw Failure{&Tally::ioErrors};
    }
    return got;
  }

  static size_t contentLength(const std::string& head) {
    std::string lower(head);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) throw Failure{&Tally::lengthErrors};
    return std::strtoull(lower.c_str() + at + 17, nullptr, 10);
  }

  Socket socket_;
  std::unique_ptr<SSL, SslFree> ssl_;
};

std::atomic<Phase> g_phase{Phase::kWarmUp};

// One simulated control: calls, one after another, until the window closes.
class Client {
 public:
  Client(SSL_CTX* context, const Options& options, uint64_t seed)
      : context_(context), options_(options), random_(seed) {}

  void run() {
    while (g_phase.load() != Phase::kDone) {
      const auto started = Clock::now();
      uint64_t requests = 0;
      try {
        requests = call();
      } catch (const Failure& failure) {
        if (g_phase.load() == Phase::kMeasuring) {
          ++(tally_.*failure.counter);
          ++tally_.failedCalls;
        }
        continue;
      }
      if (g_phase.load() != Phase::kMeasuring) continue;
      const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
      tally_.callMicroseconds.push_back(static_cast<uint32_t>(elapsed.count()));
      tally_.requests += requests;
    }
  }

  const Tally& tally() const { return tally_; }

 private:
  // The requests of one call, in the control's order; the number of requests made.
  uint64_t call() {
    if (options_.mode == Mode::kTlsOnly) {
      Connection connection(context_, options_);
      return 0;
    }
    std::unique_ptr<Connection> shared;
    if (options_.mode == Mode::kKeepAlive) shared = std::make_unique<Connection>(context_, options_);
    auto exchange = [&](const std::string& request, size_t expected_length) {
      std::unique_ptr<Connection> own;
      Connection& connection = shared ? *shared : *(own = std::make_unique<Connection>(context_, options_));
      connection.send(request);
      if (connection.receive(body_) != 200) throw Failure{&Tally::statusErrors};
      if (body_.size() != expected_length) throw Failure{&Tally::lengthErrors};
    };
    exchange(get(options_.catalog.path), options_.catalog.length);
    for (const Resource& package : options_.packages) {
      const std::string challenge = freshChallenge();
      exchange(post(options_.handshakePath, "SessionID=" + challenge), options_.replyLength);
      if (body_.compare(0, challenge.size() + 2, "-" + challenge + "/") != 0) throw Failure{&Tally::echoErrors};
      exchange(get(package.path), package.length);
    }
    return 1 + 2 * options_.packages.size();
  }

  std::string headers(const char* method, const std::string& path) const {
    return std::string(method) + " " + path + " HTTP/1.1\r\nHost: " + options_.serverName +
           "\r\nUser-Agent: call-load\r\nAccept: */*\r\nCache-Control: no-cache\r\n" +
           (options_.mode == Mode::kPerRequest ? "Connection: close\r\n" : "");
  }

  std::string get(const std::string& path) const { return headers("GET", path) + "\r\n"; }

  std::string post(const std::string& path, const std::string& form) const {
    return headers("POST", path) + "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(form.size()) + "\r\n\r\n" + form;
  }

  // A challenge no other request carries: the service signs whatever it is sent, so a
  // seeded generator per client serves as well as the control's random source.
  std::string freshChallenge() {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex(2 * kChallengeBytes, '0');
    for (size_t i = 0; i < hex.size(); i += 16) {
      uint64_t bits = random_();
      for (size_t j = 0; j < 16; ++j, bits >>= 4) hex[i + j] = kDigits[bits & 15];
    }
    return hex;
  }

  SSL_CTX* context_;
  const Options& options_;
  std::mt19937_64 random_;
  std::string body_;
  Tally tally_;
};

Resource parseResource(const std::string& value) {
  const size_t colon = value.rfind(':');
  if (colon == std::string::npos || value.empty() || value[0] != '/') throw std::invalid_argument(value);
  return {value.substr(0, colon), std::stoul(value.substr(colon + 1))};
}

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) throw std::invalid_argument(name + " needs a value");
    const std::string value = argv[++i];
    if (name == "--port") options.port = std::stoi(value);
    else if (name == "--server-name") options.serverName = value;
    else if (name == "--clients") options.clients = std::stoi(value);
    else if (name == "--warmup") options.warmupSeconds = std::stod(value);
    else if (name == "--duration") options.durationSeconds = std::stod(value);
    else if (name == "--catalog") options.catalog = parseResource(value);
    else if (name == "--package") options.packages.push_back(parseResource(value));
    else if (name == "--handshake") options.handshakePath = value;
    else if (name == "--reply-length") options.replyLength = std::stoul(value);
    else if (name == "--mode" && value == "keep-alive") options.mode = Mode::kKeepAlive;
    else if (name == "--mode" && value == "per-request") options.mode = Mode::kPerRequest;
    else if (name == "--mode" && value == "tls-only") options.mode = Mode::kTlsOnly;
    else throw std::invalid_argument("unknown option or value: " + name + " " + value);
  }
  if (options.port <= 0 || options.port > 65535 || options.clients < 1 || options.clients > 512 ||
      options.durationSeconds <= 0 || options.warmupSeconds < 0 ||
      (options.mode != Mode::kTlsOnly && options.catalog.path.empty()) ||
      (!options.packages.empty() && options.replyLength == 0)) {
    throw std::invalid_argument("--port, --catalog and (with packages) --reply-length are required; "
                                "--clients is 1 to 512");
  }
  return options;
}

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

uint32_t percentile(std::vector<uint32_t>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  return sorted[std::min(sorted.size() - 1, static_cast<size_t>(fraction * sorted.size()))];
}

void report(const std::vector<std::unique_ptr<Client>>& clients, double seconds, double cpu) {
  Tally total;
  for (const auto& client : clients) {
    const Tally& one = client->tally();
    total.callMicroseconds.insert(total.callMicroseconds.end(), one.callMicroseconds.begin(),
                                  one.callMicroseconds.end());
    for (uint64_t Tally::*counter : {&Tally::requests, &Tally::failedCalls, &Tally::connectErrors,
                                     &Tally::tlsErrors, &Tally::ioErrors, &Tally::statusErrors,
                                     &Tally::lengthErrors, &Tally::echoErrors}) {
      total.*counter += one.*counter;
    }
  }
  std::sort(total.callMicroseconds.begin(), total.callMicroseconds.end());
  std::printf("RESULT calls=%zu requests=%llu duration_us=%.0f p50_us=%u p99_us=%u cpu_us=%.0f failed_calls=%llu "
              "connect=%llu tls=%llu io=%llu status=%llu length=%llu echo=%llu\n",
              total.callMicroseconds.size(), static_cast<unsigned long long>(total.requests), seconds * 1e6,
              percentile(total.callMicroseconds, 0.50), percentile(total.callMicroseconds, 0.99), cpu * 1e6,
              static_cast<unsigned long long>(total.failedCalls),
              static_cast<unsigned long long>(total.connectErrors),
              static_cast<unsigned long long>(total.tlsErrors), static_cast<unsigned long long>(total.ioErrors),
              static_cast<unsigned long long>(total.statusErrors),
              static_cast<unsigned long long>(total.lengthErrors),
              static_cast<unsigned long long>(total.echoErrors));
}

SslContext clientContext() {
  SslContext context(SSL_CTX_new(TLS_client_method()));
  if (!context) throw std::runtime_error("no TLS context");
  // The benchmark's throwaway certificate is not checked (a load, not a test), and no session is
  // resumed, so every connection costs the server a full handshake.
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_session_cache_mode(context.get(), SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(context.get(), SSL_OP_NO_TICKET);
  return context;
}

int run(const Options& options) {
  std::signal(SIGPIPE, SIG_IGN);
  const SslContext context = clientContext();
  std::random_device seeds;
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < options.clients; ++i) {
    clients.push_back(std::make_unique<Client>(context.get(), options, (uint64_t{seeds()} << 32) | seeds()));
  }
  std::vector<std::thread> threads;
  for (auto& client : clients) threads.emplace_back([&client] { client->run(); });

  std::this_thread::sleep_for(std::chrono::duration<double>(options.warmupSeconds));
  const double cpuBefore = cpuSeconds();
  const auto started = Clock::now();
  g_phase = Phase::kMeasuring;
  std::printf("MEASURING\n");
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::duration<double>(options.durationSeconds));
  g_phase = Phase::kDone;
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  const double cpu = cpuSeconds() - cpuBefore;
  std::printf("MEASURED\n");
  std::fflush(stdout);
  for (auto& thread : threads) thread.join();
  report(clients, seconds, cpu);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(parseOptions(argc, argv));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "call-load: %s\n", error.what());
    return 2;
  }
}
