#include "ui/main/ConnectionState.hpp"

namespace pd::ui {

std::string ConnectionError::description() const {
  switch (kind) {
  case Kind::connectionFailed: return "接続失敗: " + message;
  case Kind::networkUnavailable: return "ネットワークに接続できません";
  case Kind::peerNotFound: return "iPadが見つかりません";
  case Kind::timeout: return "タイムアウト";
  }
  return {};
}

std::string ConnectionState::description() const {
  switch (kind) {
  case Kind::error: return error.description();
  case Kind::idle: return "待機中";
  case Kind::searching: return "iPadを検索中...";
  case Kind::connecting: return "接続中...";
  case Kind::connected: return "接続完了";
  case Kind::disconnected: return "接続が切断されました";
  case Kind::timeout: return "接続がタイムアウトしました";
  }
  return {};
}

} // namespace pd::ui
