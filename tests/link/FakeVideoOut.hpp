#pragma once

// A frame-sharing daemon played by the test: servers whose clients, buffer failures and
// renegotiations the test decides, and a record of what the manager asked of them.

#include "platform/videoout/FrameServer.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pd::link::test {

class FakeVideoOutProbe {
public:
  struct Server {
    std::string createdAs;
    std::optional<std::string> name;
    bool clients = false;
    std::vector<platform::videoout::PublishResult> prepareResults; // consumed front first
    int prepared = 0;
    int committed = 0;
    int abandoned = 0;
    const platform::media::VideoFrame* lastCommitted = nullptr;
    const platform::media::VideoFrame* preparedFrame = nullptr;
  };

  // Every call the manager made, in order: "create <name>", "stop <name>".
  std::vector<std::string> events() {
    std::scoped_lock lock(mutex);
    return events_;
  }
  // The servers in the order they were made; stopped ones stay.
  Server server(std::size_t index) {
    std::scoped_lock lock(mutex);
    return *servers_.at(index);
  }
  std::size_t serverCount() {
    std::scoped_lock lock(mutex);
    return servers_.size();
  }
  // Starts the record afresh; servers made before are no longer counted.
  void forget() {
    std::scoped_lock lock(mutex);
    events_.clear();
    servers_.clear();
  }
  template <typename F>
  void change(std::size_t index, F edit) {
    std::scoped_lock lock(mutex);
    edit(*servers_.at(index));
  }
  // Runs on the frame-sharing queue inside prepareFrame, between the flush's epoch check and
  // the final one.
  void onPrepare(std::function<void()> hook) {
    std::scoped_lock lock(mutex);
    onPrepare_ = std::move(hook);
  }
  // Runs on the frame-sharing queue inside commitFrame, before the frame is handed over.
  void onCommit(std::function<void()> hook) {
    std::scoped_lock lock(mutex);
    onCommit_ = std::move(hook);
  }

private:
  friend class FakeFrameServer;
  friend class FakeVideoOut;
  std::mutex mutex;
  std::vector<std::string> events_;
  std::vector<std::shared_ptr<Server>> servers_;
  std::function<void()> onPrepare_;
  std::function<void()> onCommit_;
};

class FakeFrameServer final : public platform::videoout::FrameServer {
public:
  FakeFrameServer(std::shared_ptr<FakeVideoOutProbe> probe, std::shared_ptr<FakeVideoOutProbe::Server> state)
      : probe_(std::move(probe)), state_(std::move(state)) {}

  std::optional<std::string> name() const override {
    std::scoped_lock lock(probe_->mutex);
    return state_->name;
  }
  void setName(const std::string& name) override {
    std::scoped_lock lock(probe_->mutex);
    if (state_->name) state_->name = name;
  }
  bool hasClients() const override {
    std::scoped_lock lock(probe_->mutex);
    return state_->name && state_->clients;
  }
  platform::videoout::PublishResult prepareFrame(const platform::media::VideoFrame& frame, BufferInfo& info) override {
    std::function<void()> hook;
    platform::videoout::PublishResult result = platform::videoout::PublishResult::published;
    {
      std::scoped_lock lock(probe_->mutex);
      ++state_->prepared;
      if (!state_->prepareResults.empty()) {
        result = state_->prepareResults.front();
        state_->prepareResults.erase(state_->prepareResults.begin());
      }
      state_->preparedFrame = result == platform::videoout::PublishResult::published ? &frame : nullptr;
      hook = probe_->onPrepare_;
    }
    if (hook) hook();
    info.fourcc = 0x3231564EU;
    info.sharedMemory = true;
    return result;
  }
  bool commitFrame() override {
    std::function<void()> hook;
    {
      std::scoped_lock lock(probe_->mutex);
      hook = probe_->onCommit_;
    }
    if (hook) hook();
    std::scoped_lock lock(probe_->mutex);
    if (state_->preparedFrame == nullptr) return false;
    ++state_->committed;
    state_->lastCommitted = state_->preparedFrame;
    state_->preparedFrame = nullptr;
    return true;
  }
  void abandonFrame() override {
    std::scoped_lock lock(probe_->mutex);
    ++state_->abandoned;
    state_->preparedFrame = nullptr;
  }
  void stop() override {
    std::scoped_lock lock(probe_->mutex);
    probe_->events_.push_back("stop " + state_->createdAs);
    state_->name.reset();
  }
  std::optional<std::uint32_t> nodeId() const override { return std::nullopt; }

private:
  std::shared_ptr<FakeVideoOutProbe> probe_;
  std::shared_ptr<FakeVideoOutProbe::Server> state_;
};

class FakeVideoOut final : public platform::videoout::VideoOut {
public:
  explicit FakeVideoOut(std::shared_ptr<FakeVideoOutProbe> probe) : probe_(std::move(probe)) {}
  bool isConnected() const override { return true; }
  std::unique_ptr<platform::videoout::FrameServer> createServer(const std::string& name) override {
    auto state = std::make_shared<FakeVideoOutProbe::Server>();
    state->createdAs = name;
    state->name = name;
    {
      std::scoped_lock lock(probe_->mutex);
      probe_->events_.push_back("create " + name);
      probe_->servers_.push_back(state);
    }
    return std::make_unique<FakeFrameServer>(probe_, state);
  }

private:
  std::shared_ptr<FakeVideoOutProbe> probe_;
};

} // namespace pd::link::test
