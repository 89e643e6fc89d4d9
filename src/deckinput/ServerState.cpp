#include "deckinput/ServerState.hpp"

namespace pd::deckinput {

std::string ServerState::description() const {
  switch (case_) {
  case Case::stopped: return "停止中";
  case Case::starting: return "起動中...";
  case Case::running: return "実行中";
  case Case::failed: return "エラー: " + text_;
  }
  return {};
}

} // namespace pd::deckinput
