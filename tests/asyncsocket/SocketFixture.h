// A fresh event loop and a private directory for socket files per test; the
// loop runs on the real clock in steps of at most 10 ms.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "lib/asyncsocket/asyncsocket.h"
#include "lib/pollDefault/poll.h"
#include "poll/LogCapture.h"

// What the owner of one socket has seen.
struct Owner {
  char buf[64] = {};
  std::vector<std::string> received;
  std::vector<void *> receivedInto;
  std::vector<int> errors;
  std::vector<int> sent;
  bool closeInRecv = false;
  bool closeInSend = false;
  bool closeOnError = false;
  int secondCloseResult = -1;
  AsyncSocket *accepted = nullptr;
  AsyncSocket *connected = nullptr;

  static void OnRecv(void *buf, int len, AsyncSocket *asock, void *data) {
    Owner *owner = static_cast<Owner *>(data);
    owner->received.emplace_back(static_cast<char *>(buf), len);
    owner->receivedInto.push_back(buf);
    if (owner->closeInRecv) {
      AsyncSocket_Close(asock);
      owner->secondCloseResult = AsyncSocket_Close(asock);
    }
  }
  static void OnSent(void *, int len, AsyncSocket *asock, void *data) {
    Owner *owner = static_cast<Owner *>(data);
    owner->sent.push_back(len);
    if (owner->closeInSend) {
      AsyncSocket_Close(asock);
    }
  }
  static void OnError(int error, AsyncSocket *asock, void *data) {
    Owner *owner = static_cast<Owner *>(data);
    owner->errors.push_back(error);
    if (owner->closeOnError) {
      AsyncSocket_Close(asock);
    }
  }
  static void OnAccept(AsyncSocket *asock, void *data) {
    static_cast<Owner *>(data)->accepted = asock;
  }
  static void OnConnect(AsyncSocket *asock, void *data) {
    static_cast<Owner *>(data)->connected = asock;
  }
};

class SocketFixture : public testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    std::string tmpl = testing::TempDir() + "sentro-sock-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/server";
    PollInstallDefault();
  }

  void TearDown() override {
    if (server_ != nullptr) {
      AsyncSocket_Close(server_);
    }
    if (listener_ != nullptr) {
      AsyncSocket_Close(listener_);
    }
    if (client_ >= 0) {
      close(client_);
    }
    PollShutdown();
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }

  // Runs the loop until `done` holds or two seconds have passed.
  template <typename Pred>
  bool RunUntil(Pred done) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!done()) {
      if (std::chrono::steady_clock::now() > limit) {
        return false;
      }
      PollRun(false, &exitFlag_, POLL_CLASS_MAIN, 10000);
    }
    return true;
  }

  void RunFor(int ms) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < limit) {
      PollRun(false, &exitFlag_, POLL_CLASS_MAIN, 5000);
    }
  }

  // Listens, connects a plain blocking client and returns the accepted
  // socket, with the server owner's error handler installed.
  AsyncSocket *AcceptPlainClient() {
    int error = -1;
    listener_ = AsyncSocket_ListenUnix(path_.c_str(), Owner::OnAccept, &server, &error);
    EXPECT_NE(listener_, nullptr);
    EXPECT_EQ(error, 0);
    client_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
    EXPECT_EQ(connect(client_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    EXPECT_TRUE(RunUntil([&] { return server.accepted != nullptr; }));
    server_ = server.accepted;
    AsyncSocket_SetErrorHandler(server_, Owner::OnError, &server);
    return server_;
  }

  void ClientWrite(const std::string &bytes) {
    ASSERT_EQ(write(client_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // The server socket was closed by the test or its callbacks.
  void Forget() { server_ = nullptr; }

  std::string dir_;
  std::string path_;
  Owner server;
  AsyncSocket *listener_ = nullptr;
  AsyncSocket *server_ = nullptr;
  int client_ = -1;
  volatile uint8_t exitFlag_ = 0;
  LogCapture log;
};
