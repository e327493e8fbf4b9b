// A stand-in for the daemon's control socket.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Listens on path while client runs, a thread playing the daemon: it
// answers each connection with the next of replies and closes it (hold keeps
// the last one open until client returns), or closes it unanswered beyond
// replies. Returns the requests read (the header, then the payload it
// announces), one per connection.
inline std::vector<Bytes> Serve(const std::string &path, const std::vector<Bytes> &replies,
                                bool hold, const std::function<void()> &client) {
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {AF_UNIX, {}};
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  EXPECT_EQ(
      bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) | listen(listener, 8),
      0)
      << path << ": " << strerror(errno);
  std::vector<Bytes> requests;
  std::vector<int> held;
  std::thread daemon([&] {
    for (int fd; (fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
      timeval timeout = {2, 0};  // a request arrives in full well within this
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
      Bytes &request = requests.emplace_back(16 + 4096);  // no request is larger
      ssize_t got = recv(fd, request.data(), 16, MSG_WAITALL);
      uint32_t length = 0;
      if (got == 16 && memcpy(&length, &request[12], 4) && length > 0 && length <= 4096)
        got += std::max<ssize_t>(recv(fd, &request[16], length, MSG_WAITALL), 0);
      request.resize(std::max<ssize_t>(got, 0));
      size_t n = requests.size();
      if (n <= replies.size()) send(fd, replies[n - 1].data(), replies[n - 1].size(), MSG_NOSIGNAL);
      hold &&n == replies.size() ? held.push_back(fd) : void(close(fd));
    }
  });
  client();
  shutdown(listener, SHUT_RDWR);  // wakes the accept
  daemon.join();
  for (int fd : held) close(fd);
  close(listener);
  unlink(path.c_str());
  return requests;
}
