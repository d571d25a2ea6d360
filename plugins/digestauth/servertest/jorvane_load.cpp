// Load driver, run by hand (scripts/digest_load_bench.sh starts the servers):
// management reads through braskel with and without the digest processor,
// each client keeping its own nonce chain, with 1 and 16 clients. Prints
// requests per second and latency percentiles per endpoint and client count.
//
//   jorvane_load PORT USER REALM PASSWORD [SECONDS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "plugins/digestauth/protocol.h"
#include "xml/codecs.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Target {
  uint16_t port;
  std::string user, realm, password;
};

// One HTTP/1.0 exchange on a fresh connection; the whole answer, "" on failure.
std::string Exchange(uint16_t port, const std::string& request) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    size_t sent = 0;
    while (sent < request.size()) {
      const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    char buf[16384];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) reply.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return reply;
}

std::string Field(const std::string& body, const std::string& name) {
  const size_t at = body.find("<" + name + ">");
  if (at == std::string::npos) return "";
  const size_t start = at + name.size() + 2;
  return body.substr(start, body.find('<', start) - start);
}

std::string Call(uint16_t port, const std::string& path, const std::string& header) {
  const std::string envelope =
      "<?xml version=\"1.0\"?><E:Envelope xmlns:E=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "E:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">" +
      (header.empty() ? "" : "<E:Header>" + header + "</E:Header>") +
      "<E:Body><m:GetServerStats xmlns:m=\"urn:quorvel:QVSOAPSvrMgr\"/></E:Body></E:Envelope>";
  return Exchange(port, "POST " + path +
                            " HTTP/1.0\r\nContent-Type: text/xml\r\nSOAPAction: "
                            "\"urn:quorvel:QVSOAPSvrMgr#GetServerStats\"\r\nContent-Length: " +
                            std::to_string(envelope.size()) + "\r\n\r\n" + envelope);
}

std::string ClientAuth(const Target& t, const std::string& nonce, const std::string& cnonce) {
  const std::string hash = digestauth::UserHash(t.user, t.realm, t.password);
  const digestauth::Digest proof = digestauth::ClientProof(hash, nonce, &cnonce);
  std::string auth;
  xml::Base64Encode(proof.data(), proof.size(), auth);
  return "<da:ClientAuth xmlns:da=\"urn:quorvel:soap:digest-auth\"><Nonce>" + nonce +
         "</Nonce><Auth>" + auth + "</Auth><UserID>" + t.user + "</UserID><Realm>" + t.realm +
         "</Realm><ClientNonce>" + cnonce + "</ClientNonce></da:ClientAuth>";
}

struct Result {
  std::vector<double> latenciesMs;
  size_t failures = 0;
};

// One client: with `digest`, a challenge first, then each call answers the
// last NextChallenge.
void Client(const Target& t, bool digest, Clock::time_point end, int id, Result* out) {
  const std::string path = digest ? "/QVSOAPSvrCP" : "/QVSOAPSvrCPOpen";
  std::string nonce;
  if (digest) nonce = Field(Call(t.port, path, ""), "Nonce");
  for (int i = 0; Clock::now() < end; ++i) {
    const std::string cnonce = std::to_string(id) + "-" + std::to_string(i);
    const auto start = Clock::now();
    const std::string reply = Call(t.port, path, digest ? ClientAuth(t, nonce, cnonce) : "");
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const bool ok = reply.compare(0, 12, "HTTP/1.0 200") == 0 || reply.compare(0, 12, "HTTP/1.1 200") == 0;
    if (!ok) {
      ++out->failures;
      if (digest) nonce = Field(reply, "Nonce");  // start the chain again
      continue;
    }
    out->latenciesMs.push_back(ms);
    if (digest) nonce = Field(reply, "Nonce");
  }
}

void Run(const Target& t, bool digest, int clients, int seconds) {
  std::vector<Result> results(static_cast<size_t>(clients));
  std::vector<std::thread> threads;
  const auto begin = Clock::now();
  const auto end = begin + std::chrono::seconds(seconds);
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back(Client, std::cref(t), digest, end, c, &results[static_cast<size_t>(c)]);
  }
  for (std::thread& th : threads) th.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
  std::vector<double> all;
  size_t failures = 0;
  for (const Result& r : results) {
    all.insert(all.end(), r.latenciesMs.begin(), r.latenciesMs.end());
    failures += r.failures;
  }
  std::sort(all.begin(), all.end());
  auto pct = [&](double p) {
    return all.empty() ? 0.0 : all[std::min(all.size() - 1, static_cast<size_t>(p * all.size()))];
  };
  std::printf("%-8s clients=%-3d requests=%-7zu failed=%-5zu req/s=%8.1f  p50=%7.2f ms  "
              "p90=%7.2f ms  p99=%7.2f ms\n",
              digest ? "digest" : "plain", clients, all.size(), failures,
              static_cast<double>(all.size()) / elapsed, pct(0.5), pct(0.9), pct(0.99));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s PORT USER REALM PASSWORD [SECONDS]\n", argv[0]);
    return 2;
  }
  const Target t{static_cast<uint16_t>(std::atoi(argv[1])), argv[2], argv[3], argv[4]};
  const int seconds = argc > 5 ? std::max(1, std::atoi(argv[5])) : 5;
  for (const int clients : {1, 16}) {
    Run(t, false, clients, seconds);
    Run(t, true, clients, seconds);
  }
  return 0;
}
