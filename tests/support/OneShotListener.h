// A peer that listens on a Unix socket path, played by a thread: it accepts
// one connection, reads a request of a fixed size and hands the connection
// to the test's answer, then closes it. Used wherever the code under test is
// the client of an appliance listener (the failover listener, for one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class OneShotListener {
 public:
  // Binds and listens at once, so a client may connect before Serve.
  OneShotListener(const std::string &path, size_t requestSize);
  // Stops waiting for a client, joins the thread and removes the socket file.
  ~OneShotListener();
  OneShotListener(const OneShotListener &) = delete;
  OneShotListener &operator=(const OneShotListener &) = delete;

  // Runs answer on the accepted connection once the request was read (or the
  // client stopped sending). Reads on the connection time out after 5 s.
  void Serve(std::function<void(int connection)> answer);
  // The bytes read so far; complete once answer was called.
  std::vector<uint8_t> Request() const;

 private:
  std::string path_;
  size_t requestSize_;
  int fd_ = -1;
  mutable std::mutex mutex_;
  std::vector<uint8_t> request_;
  std::thread thread_;
};
