// A stand-in for the daemon's control socket: a thread accepts connections
// on a Unix socket, reads each request (the header, then the payload it
// announces), records it and answers as the test scripted. RunCtl runs
// sentroctl in-process against it and captures what it prints.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/sentroctl/Sentroctl.h"

using Bytes = std::vector<uint8_t>;

class FakeServer {
 public:
  explicit FakeServer(const std::string &path) : path_(path) {
    sockaddr_un address = {AF_UNIX, {}};
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (bind(listenFd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listenFd_, 8) != 0) {
      ADD_FAILURE() << "cannot listen on " << path << ": " << strerror(errno);
      return;
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeServer() {
    shutdown(listenFd_, SHUT_RDWR);  // wakes the accept
    if (thread_.joinable()) thread_.join();
    for (int fd : held_) close(fd);
    close(listenFd_);
    unlink(path_.c_str());
  }

  // The answer to the next connection, in order of the calls: these bytes,
  // then the connection is closed, or with hold kept open until the server
  // ends. A connection beyond the script is closed unanswered.
  void Reply(const Bytes &bytes, bool hold = false) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back({bytes, hold});
  }
  // The requests received so far, one per connection.
  std::vector<Bytes> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  const std::string &path() const { return path_; }

 private:
  void Serve() {
    for (int fd; (fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
      timeval timeout = {2, 0};  // a request arrives in full well within this
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
      Bytes request(16 + 4096);  // requests are never larger than 4096 bytes
      ssize_t got = recv(fd, request.data(), 16, MSG_WAITALL);
      uint32_t length = 0;
      if (got == 16 && memcpy(&length, &request[12], 4) && length > 0 && length <= 4096)
        got += std::max<ssize_t>(recv(fd, &request[16], length, MSG_WAITALL), 0);
      request.resize(std::max<ssize_t>(got, 0));
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
      Script next = requests_.size() <= script_.size() ? script_[requests_.size() - 1] : Script{};
      send(fd, next.bytes.data(), next.bytes.size(), MSG_NOSIGNAL);
      next.hold ? held_.push_back(fd) : void(close(fd));
    }
  }

  struct Script {
    Bytes bytes;
    bool hold = false;
  };
  std::string path_;
  int listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  mutable std::mutex mutex_;
  std::vector<Script> script_;
  std::vector<Bytes> requests_;
  std::vector<int> held_;
  std::thread thread_;
};

struct CtlRun {
  int status = -1;
  std::string printed;  // stdout, then "! " and stderr after its "sentroctl: "
};

// sentroctl --socket socketPath, then the space-separated words of args.
inline CtlRun RunCtl(const std::string &socketPath, const std::string &args) {
  std::vector<std::string> words = {"--socket", socketPath};
  std::istringstream in(args);
  for (std::string word; in >> word;) words.push_back(word);
  std::ostringstream out, err;
  CtlRun run{RunSentroctl(words, nullptr, out, err), out.str()};
  EXPECT_EQ(err.str().rfind("sentroctl: ", 0), err.str().empty() ? std::string::npos : 0);
  if (!err.str().empty()) run.printed += "! " + err.str().substr(11);
  return run;
}

// Exact when expected is empty or ends in a newline, else a part of text.
inline void ExpectPrinted(const std::string &text, const std::string &expected) {
  if (expected.empty() || expected.back() == '\n') {
    EXPECT_EQ(text, expected);
  } else {
    EXPECT_NE(text.find(expected), std::string::npos) << text;
  }
}
