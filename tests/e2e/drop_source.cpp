// A window that starts a drag when pressed, for the end-to-end walk's drops between two processes:
// either a file's URL (text/uri-list) or only a file's bytes under a media type, with a suggested
// file name as file managers offer it.
//
//   e2e-drop-source --url FILE
//   e2e-drop-source --bytes FILE --type MIME [--suggested-name NAME]
//
// Writes one JSON line when its window is first painted ({"event":"ready","x","y","width","height"}, in
// root coordinates) and one when a drag ends ({"event":"drag_done","action"}: 0 for ignored, 1 for
// copy); ends when stdin closes.

#include <QApplication>
#include <QDrag>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QSocketNotifier>
#include <QUrl>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace {

struct Offer {
  QString url;
  QByteArray bytes;
  QString type;
  std::optional<QString> suggestedName;
};

void emitLine(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

class DragSource final : public QLabel {
public:
  explicit DragSource(Offer offer) : QLabel(QStringLiteral("drag me")), offer_(std::move(offer)) {
    setAlignment(Qt::AlignCenter);
    setStyleSheet(QStringLiteral("background: #cde; font-size: 18px;"));
  }

protected:
  // Ready once the server has shown the window: a press before that would land on what lies under it.
  void paintEvent(QPaintEvent* event) override {
    QLabel::paintEvent(event);
    if (reported_) return;
    reported_ = true;
    const QPoint origin = mapToGlobal(QPoint(0, 0));
    emitLine("{\"event\":\"ready\",\"x\":" + std::to_string(origin.x()) + ",\"y\":" + std::to_string(origin.y()) +
             ",\"width\":" + std::to_string(width()) + ",\"height\":" + std::to_string(height()) + "}");
  }

  void mousePressEvent(QMouseEvent* event) override {
    if (event->button() != Qt::LeftButton) return;
    auto* data = new QMimeData;
    if (!offer_.url.isEmpty()) {
      data->setUrls({QUrl::fromLocalFile(offer_.url)});
    } else {
      data->setData(offer_.type, offer_.bytes);
      if (offer_.suggestedName) {
        data->setData(QStringLiteral("application/x-kde-suggestedfilename"), offer_.suggestedName->toUtf8());
      }
    }
    auto* drag = new QDrag(this);
    drag->setMimeData(data);
    const Qt::DropAction action = drag->exec(Qt::CopyAction);
    emitLine("{\"event\":\"drag_done\",\"action\":" + std::to_string(static_cast<int>(action)) + "}");
  }

private:
  Offer offer_;
  bool reported_ = false;
};

std::optional<Offer> parse(const QStringList& arguments) {
  Offer offer;
  for (qsizetype i = 1; i + 1 < arguments.size(); i += 2) {
    const QString& option = arguments[i];
    const QString& value = arguments[i + 1];
    if (option == QLatin1String("--url")) {
      offer.url = value;
    } else if (option == QLatin1String("--bytes")) {
      QFile file(value);
      if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
      offer.bytes = file.readAll();
    } else if (option == QLatin1String("--type")) {
      offer.type = value;
    } else if (option == QLatin1String("--suggested-name")) {
      offer.suggestedName = value;
    } else {
      return std::nullopt;
    }
  }
  if (arguments.size() % 2 == 0) return std::nullopt;
  if (offer.url.isEmpty() == offer.type.isEmpty()) return std::nullopt;
  return offer;
}

} // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const auto offer = parse(QApplication::arguments());
  if (!offer) {
    std::fputs("usage: e2e-drop-source --url FILE | --bytes FILE --type MIME [--suggested-name NAME]\n", stderr);
    return 2;
  }
  DragSource source(*offer);
  source.setWindowTitle(QStringLiteral("drop source"));
  source.setGeometry(20, 20, 160, 120);
  source.show();
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, &app, [&input] {
    char buffer[256];
    if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
      input.setEnabled(false);
      QApplication::quit();
    }
  });
  return QApplication::exec();
}
