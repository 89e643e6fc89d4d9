// The sender section inside the main window's send card, against a link manager of fakes and a
// real broadcaster, on Qt's offscreen platform.

#include "SenderWidgetTestSupport.hpp"

#include "sender/LocalVideoBroadcaster.hpp"
#include "settings/AppSettings.hpp"
#include "sender/YouTubeSearchModel.hpp"
#include "platform/TestSupport.hpp"
#include "support/LogWindow.hpp"
#include "ui/main/ContentView.hpp"
#include "ui/main/ViewKit.hpp"
#include "ui/sender/DeckCard.hpp"
#include "ui/sender/DropIntake.hpp"
#include "ui/sender/LocalVideoSenderSection.hpp"
#include "ui/sender/YouTubeSearchPanel.hpp"

#include <QDragEnterEvent>
#include <QFileDialog>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTextDocument>
#include <QUrl>

#include <chrono>
#include <fstream>
#include <future>
#include <thread>

namespace pd::ui::test {
namespace {

namespace fs = std::filesystem;
using VersionState = link::NetworkManagerForMac::PeerVersionState;
using Playback = sender::LocalVideoBroadcaster::PlaybackState;

class SenderSectionTest : public SenderWidgetFixture {
protected:
  std::unique_ptr<ContentView> makeView() {
    auto view = std::make_unique<ContentView>(*manager, *oscViewModel, *broadcaster, senderServices);
    view->resize(900, 1000);
    return view;
  }
  static void fillResults(LocalVideoSenderSection& section, int count) {
    std::vector<remotesource::VideoSearchItem> items;
    for (int i = 0; i < count; ++i) {
      items.push_back({"id" + std::to_string(i), "Title " + std::to_string(i), "Channel", 61,
                       "https://img.example/" + std::to_string(i) + ".jpg"});
    }
    section.searchModel()->results.set(std::move(items));
  }
  // Waits, without running the GUI thread's queue, for a line that a pool thread writes.
  static bool waitForLine(const testing::LogWindow& log, const std::string& prefix) {
    for (int i = 0; i < 500 && !log.has(prefix); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return log.has(prefix);
  }
};

TEST_F(SenderSectionTest, TheSectionLiesInTheSendCardAndFollowsTheGate) {
  auto view = makeView();
  LocalVideoSenderSection* section = view->senderSection();
  ASSERT_NE(section, nullptr);
  EXPECT_EQ(section->parentWidget(), view->sendPanelSlot());
  view->show();
  pump();
  EXPECT_TRUE(view->sendPanelSlot()->isVisible());
  fillResults(*section, 2);
  pump();
  const auto sendButtonsEnabled = [&] {
    QFrame* row = section->searchPanel()->row(0);
    return row != nullptr && findButton(row, "A")->isEnabled() && findButton(row, "B")->isEnabled();
  };

  // Not linked: the word, no banner, nothing to send.
  EXPECT_EQ(section->stateWord()->text(), "iPad 未接続");
  EXPECT_TRUE(section->banner()->isHidden());
  EXPECT_FALSE(sendButtonsEnabled());

  link(std::vector<std::string>{"raw_mode"}, VersionState::legacy());
  EXPECT_EQ(section->stateWord()->text(), "バージョン不一致");
  EXPECT_FALSE(section->banner()->isHidden());
  EXPECT_TRUE(section->bannerLabel()->text().startsWith("接続中のアプリとバージョンが一致しない"));

  manager->peerVersionState.set(VersionState::unknown());
  EXPECT_EQ(section->stateWord()->text(), "iPad が未対応");
  EXPECT_EQ(section->bannerLabel()->text(),
            "接続中の iPad はこの機能に対応していません。iPad 側のアプリをアップデートしてください。");
  EXPECT_FALSE(sendButtonsEnabled());

  manager->peerFeatures.set(std::nullopt);
  EXPECT_TRUE(section->stateWord()->isHidden());
  EXPECT_TRUE(section->banner()->isHidden());
  EXPECT_TRUE(sendButtonsEnabled());

  section->chooseTab(SourceTab::localFile);
  EXPECT_TRUE(section->card(Deck::a)->chooseButton()->isEnabled());
  manager->connectedPeers.set({});
  EXPECT_FALSE(section->card(Deck::a)->chooseButton()->isEnabled());
  EXPECT_FALSE(section->card(Deck::b)->chooseButton()->isEnabled());

  // Refused controls are drawn dimmed, not in their deck's colour.
  const std::vector<QAbstractButton*> refused{section->card(Deck::b)->chooseButton(),
                                              findButton(section->searchPanel()->row(0), "B")};
  for (QAbstractButton* button : refused) {
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->palette().color(QPalette::Active, QPalette::ButtonText), tintColor(Tint::orange));
    EXPECT_NE(button->palette().color(QPalette::Disabled, QPalette::ButtonText), tintColor(Tint::orange));
  }
}

TEST_F(SenderSectionTest, TabIsStoredAtOnceAndTheSearchSurvivesASwitch) {
  defaults.set(settings::SettingsKey::sendToIPadTab, "somethingElse");
  auto view = makeView();
  LocalVideoSenderSection* section = view->senderSection();
  view->show();
  pump();
  EXPECT_EQ(section->tab(), SourceTab::youtube);
  EXPECT_TRUE(section->tabButton(SourceTab::youtube)->isChecked());
  EXPECT_TRUE(section->searchPanel()->isVisibleTo(section));
  EXPECT_TRUE(section->card(Deck::a)->chooseButton()->isHidden());
  EXPECT_EQ(section->card(Deck::a)->hintLabel()->text(), "検索結果の A / B で送る");

  section->searchPanel()->queryField()->setText("query");
  const auto model = section->searchModel();
  QTest::mouseClick(section->tabButton(SourceTab::localFile), Qt::LeftButton);
  EXPECT_EQ(defaults.string(settings::SettingsKey::sendToIPadTab), "localFile");
  EXPECT_FALSE(section->searchPanel()->isVisibleTo(section));
  EXPECT_FALSE(section->card(Deck::b)->chooseButton()->isHidden());
  EXPECT_EQ(section->card(Deck::b)->hintLabel()->text(), "またはここにドラッグ&ドロップ");

  // Another writer of the key is followed.
  defaults.set(settings::SettingsKey::sendToIPadTab, "youtube");
  pump();
  EXPECT_EQ(section->tab(), SourceTab::youtube);
  EXPECT_EQ(section->searchModel(), model);
  EXPECT_EQ(section->searchPanel()->queryField()->text(), "query");
}

TEST_F(SenderSectionTest, CardsShowTheDeckAndEveryPlaybackState) {
  auto view = makeView();
  LocalVideoSenderSection* section = view->senderSection();
  view->show();
  pump();
  DeckCard* card = section->card(Deck::b);
  EXPECT_EQ(card->dot()->color(), tintColor(Tint::gray));
  EXPECT_EQ(card->statusLabel()->text(), "未選択");
  EXPECT_TRUE(card->tempoBadge()->isHidden());
  EXPECT_TRUE(card->playbackRow()->isHidden());

  const std::string longName = "a-very-long-file-name-" + std::string(200, 'x') + "-that-ends-here.mp4";
  broadcaster->deckB.fileName.set(longName);
  broadcaster->deckB.status.set("解析中...");
  broadcaster->deckB.bpm.set(128);
  broadcaster->deckB.isAnalyzing.set(true);
  EXPECT_EQ(card->dot()->color(), tintColor(Tint::orange));
  EXPECT_EQ(card->tempoBadge()->text(), "128 BPM");
  EXPECT_FALSE(card->tempoBadge()->isHidden());
  EXPECT_TRUE(card->statusSpinner()->isVisibleTo(card));
  EXPECT_EQ(card->fileLabel()->fullText(), QString::fromStdString(longName));
  // One line, cut in the middle: both ends stay.
  EXPECT_TRUE(card->fileLabel()->text().startsWith("a-very"));
  EXPECT_TRUE(card->fileLabel()->text().endsWith("here.mp4"));
  EXPECT_LT(card->fileLabel()->text().size(), static_cast<qsizetype>(longName.size()));
  // Deck A is untouched.
  EXPECT_EQ(section->card(Deck::a)->dot()->color(), tintColor(Tint::gray));

  struct Case {
    Playback state;
    QString text;
    QString symbol;
    bool spinner;
  };
  const Case cases[] = {
      {{Playback::Case::awaiting, std::nullopt}, "iPad の応答待ち...", "", true},
      {{Playback::Case::noResponse, std::nullopt},
       "iPad から応答がありません（iPad の表示を確認してください）",
       "exclamationmark.triangle.fill",
       false},
      {{Playback::Case::ready, std::nullopt}, "iPad で再生できます", "checkmark.circle.fill", false},
      {{Playback::Case::replaced, std::nullopt},
       "iPad 側で別の動画に替わりました",
       "arrow.triangle.2.circlepath",
       false},
      {Playback::failed("playback_failed"), "iPad での再生が途中で止まりました", "xmark.octagon.fill", false},
      {Playback::failed(std::nullopt), "iPad で再生できませんでした（読み込みに失敗）", "xmark.octagon.fill", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.toStdString());
    broadcaster->deckB.playback.set(c.state);
    EXPECT_TRUE(card->playbackRow()->isVisibleTo(card));
    EXPECT_EQ(card->playbackLabel()->text(), c.text);
    EXPECT_EQ(card->playbackSpinner()->isVisibleTo(card), c.spinner);
    if (!c.symbol.isEmpty()) {
      EXPECT_EQ(card->playbackSymbol()->objectName(), c.symbol);
    }
    EXPECT_EQ(card->playbackSymbol()->isVisibleTo(card), !c.symbol.isEmpty());
  }
  broadcaster->deckB.playback.set({Playback::Case::ready, std::nullopt});
  EXPECT_EQ(card->playbackLabel()->palette().color(QPalette::WindowText), tintColor(Tint::green));
  broadcaster->deckB.playback.set({});
  EXPECT_TRUE(card->playbackRow()->isHidden());
}

// A failed send names the file; a name with nowhere to break must not take the other deck's room.
TEST_F(SenderSectionTest, ALongUnbrokenNameInTheStatusKeepsBothCardsTheirShare) {
  auto view = makeView();
  LocalVideoSenderSection* section = view->senderSection();
  view->show();
  pump();
  const std::string name = "take_" + std::string(200, 'x') + "_final.mp4";
  const std::string status = "「" + name + "」の送信に失敗しました（iPad との接続を確認してください）";
  broadcaster->deckB.status.set(status);
  pump();
  DeckCard* a = section->card(Deck::a);
  DeckCard* b = section->card(Deck::b);
  EXPECT_EQ(b->statusLabel()->text(), QString::fromStdString(status));
  EXPECT_GE(b->statusLabel()->height(), b->statusLabel()->fontMetrics().lineSpacing());
  EXPECT_LE(std::abs(a->width() - b->width()), 2) << a->width() << " / " << b->width();
  EXPECT_LE(b->mapTo(section, QPoint(b->width(), 0)).x(), section->width());
}

// A video's title comes from the video service: its tooltip shows it as written, whatever
// markup it seems to hold.
TEST_F(SenderSectionTest, ATitleThatLooksLikeMarkupIsShownAsWrittenInItsTooltip) {
  auto view = makeView();
  DeckCard* card = view->senderSection()->card(Deck::a);
  view->show();
  pump();
  // How a tooltip reads its text: as markup when it looks like markup.
  const auto shown = [](const QString& tip) {
    if (!Qt::mightBeRichText(tip)) return tip;
    QTextDocument document;
    document.setHtml(tip);
    return document.toPlainText();
  };
  for (const char* title : {"<b>Live</b> at the hall", "&lt;3 remix &amp; more", "<img src=\"cover.png\">Intro",
                            "  <i>two  spaces</i>", "plain title.mp4"}) {
    SCOPED_TRACE(title);
    broadcaster->deckA.fileName.set(title);
    EXPECT_EQ(shown(card->fileLabel()->toolTip()).toStdString(), title);
    EXPECT_EQ(card->fileLabel()->accessibleName().toStdString(), title);
  }
}

// A status longer than its two lines shows its beginning, whole, where a short one starts.
TEST_F(SenderSectionTest, ALongStatusShowsItsFirstTwoLinesFromTheTop) {
  auto view = makeView();
  LocalVideoSenderSection* section = view->senderSection();
  view->show();
  pump();
  QLabel* status = section->card(Deck::b)->statusLabel();
  const auto firstInkRow = [status] {
    const QImage image = status->grab().toImage();
    const QRgb background = image.pixel(image.width() - 1, image.height() - 1);
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) {
        if (image.pixel(x, y) != background) return y;
      }
    }
    return -1;
  };
  broadcaster->deckB.status.set("「曲」");
  pump();
  const int top = firstInkRow();
  std::string title;
  for (int i = 0; i < 150; ++i) title += "曲 ";
  broadcaster->deckB.status.set("「曲」「" + title + "」の送信に失敗しました（iPad との接続を確認してください）");
  pump();
  const QRect wide(0, 0, status->width(), 10000);
  ASSERT_GT(status->fontMetrics().boundingRect(wide, Qt::TextWordWrap, status->text()).height(),
            status->height()); // more than fits
  ASSERT_GT(top, 0);
  EXPECT_EQ(firstInkRow(), top);
}

// Japanese lines are taller than the font's own line spacing; two of them must still fit.
TEST_F(SenderSectionTest, ATwoLineStatusShowsBothLinesWhole) {
  auto view = makeView();
  view->resize(960, 1000);
  LocalVideoSenderSection* section = view->senderSection();
  view->show();
  pump();
  broadcaster->deckA.status.set(
      "「Some Artist - Song Title (Official Video)」の送信に失敗しました（iPad との接続を確認してください）");
  pump();
  QLabel* status = section->card(Deck::a)->statusLabel();
  const auto linesHeight = [status](int width) {
    return status->fontMetrics().boundingRect(QRect(0, 0, width, 10000), Qt::TextWordWrap, status->text()).height();
  };
  const int needed = linesHeight(status->width());
  ASSERT_GT(needed, linesHeight(10000)); // it wraps
  EXPECT_GE(status->height(), needed);
  broadcaster->deckA.status.set("送信しました / BPM 解析中...");
  pump();
  EXPECT_EQ(status->height(), linesHeight(10000)); // and one line takes one again
}

TEST_F(SenderSectionTest, DropsAreGatedThenTakeTheFileOrTheCopyRoad) {
  auto view = makeView();
  LocalVideoSenderSection* section = view->senderSection();
  view->show();
  pump();
  const fs::path folder = fs::temp_directory_path() / ("pd-sender-drops-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const fs::path clip = folder / "clip one.mp4";
  const fs::path notes = folder / "notes.txt";
  std::ofstream(clip) << "not really a movie";
  std::ofstream(notes) << "text";

  QMimeData fileDrop;
  fileDrop.setUrls({QUrl::fromLocalFile(QString::fromStdString(clip.string()))});
  {
    const testing::LogWindow log;
    EXPECT_FALSE(section->handleDrop(fileDrop, Deck::a));
    link(std::vector<std::string>{"raw_mode"}, VersionState::mismatch(3));
    EXPECT_FALSE(section->handleDrop(fileDrop, Deck::a));
    manager->peerVersionState.set(VersionState::matched());
    EXPECT_FALSE(section->handleDrop(fileDrop, Deck::a));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"dnd_reject reason=not_connected", "dnd_reject reason=version_mismatch",
                                        "dnd_reject reason=load_video_unsupported"}));
  }

  manager->peerFeatures.set(std::vector<std::string>{"load_video"});
  EXPECT_TRUE(section->handleDrop(fileDrop, Deck::a));
  // The send reaches the broadcaster later, on the GUI thread.
  EXPECT_EQ(broadcaster->deckA.status.get(), "");
  pump();
  EXPECT_EQ(broadcaster->deckA.status.get(), "「clip one.mp4」を準備中...");

  QMimeData textDrop;
  textDrop.setUrls({QUrl::fromLocalFile(QString::fromStdString(notes.string()))});
  EXPECT_TRUE(section->handleDrop(textDrop, Deck::b));
  pump();
  EXPECT_EQ(broadcaster->deckB.status.get(), "動画ファイルではありません: notes.txt");

  // Bytes only, with a name that tries to climb out of the drop folder.
  QMimeData bytesDrop;
  bytesDrop.setData("video/mp4", QByteArray("movie bytes"));
  bytesDrop.setData(QString::fromLatin1(kSuggestedNameFormat.data()), QByteArray("../x.mp4"));
  const testing::LogWindow log;
  EXPECT_TRUE(section->handleDrop(bytesDrop, Deck::b));
  ASSERT_TRUE(waitForLine(log, "dnd_resolve_ok kind=temp_copy"));
  const fs::path temporary = broadcaster->temporaryFolder();
  std::vector<fs::path> copies;
  for (const auto& entry : fs::recursive_directory_iterator(temporary)) {
    if (entry.is_regular_file() && entry.path().filename() == "x.mp4") copies.push_back(entry.path());
  }
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_TRUE(copies[0].parent_path().filename().string().starts_with("PalendrixDrop-"));
  EXPECT_EQ(copies[0].parent_path().parent_path(), temporary);
  EXPECT_EQ(pd::testing::readText(copies[0]), "movie bytes");
  EXPECT_FALSE(fs::exists(temporary.parent_path() / "x.mp4"));
  pump();
  EXPECT_EQ(broadcaster->deckB.status.get(), "「x.mp4」を準備中...");
  fs::remove_all(copies[0].parent_path());
  fs::remove_all(folder);

  // Above the largest temporary video, the drop is refused before anything is written (the
  // buffer's pages are never touched).
  QMimeData hugeDrop;
  hugeDrop.setData("video/mp4", QByteArray(268'435'457, Qt::Uninitialized));
  hugeDrop.setData(QString::fromLatin1(kSuggestedNameFormat.data()), QByteArray("huge.mp4"));
  const testing::LogWindow refusal;
  EXPECT_FALSE(section->handleDrop(hugeDrop, Deck::a));
  EXPECT_EQ(broadcaster->deckA.status.get(), "動画が大きすぎます（256 MiB まで）: huge.mp4");
  EXPECT_TRUE(refusal.has("dnd_reject reason=too_large size_b=268435457 limit_b=268435456"));
}

TEST_F(SenderSectionTest, ACopyBeingWrittenLeavesTheBroadcasterToTheMainThread) {
  // The writer stops mid-copy until the test lets it go on.
  std::promise<void> writing;
  std::future<void> reachedWrite = writing.get_future();
  std::promise<void> goOn;
  senderServices.writeCopy = [&writing, resumed = goOn.get_future().share()](
                                 const fs::path& folder, const std::string& name, std::string_view bytes) {
    writing.set_value();
    resumed.wait();
    return writeTemporaryCopy(folder, name, bytes);
  };
  auto view = makeView();
  view->show();
  pump();
  link();
  QMimeData bytesDrop;
  bytesDrop.setData("video/mp4", QByteArray("movie bytes"));
  const testing::LogWindow log;
  ASSERT_TRUE(view->senderSection()->handleDrop(bytesDrop, Deck::a));
  const bool reached = reachedWrite.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  if (!reached) goOn.set_value();
  ASSERT_TRUE(reached);

  // Quitting during the copy: the window goes, then the broadcaster, here on the main thread.
  view.reset();
  const std::weak_ptr<sender::LocalVideoBroadcaster> weak = broadcaster;
  broadcaster.reset();
  EXPECT_TRUE(weak.expired());
  goOn.set_value();
  // Nobody will send the copy: it goes at once instead of at the next launch.
  EXPECT_TRUE(waitForLine(log, "temp_copy_delete file=<private>"));
}

TEST_F(SenderSectionTest, CardsHighlightAHoveringFileOrVideoWhateverTheGate) {
  auto view = makeView();
  DeckCard* card = view->senderSection()->card(Deck::a);
  view->show();
  pump();
  QMimeData file;
  file.setUrls({QUrl::fromLocalFile("/videos/a.mov")});
  QMimeData text;
  text.setText("words");
  const QPoint middle = card->rect().center();

  // Not linked: the card still answers the drag; the drop is judged when it lands.
  QDragEnterEvent enterText(middle, Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(card, &enterText);
  EXPECT_FALSE(enterText.isAccepted());
  EXPECT_FALSE(card->isDropTargeted());
  QDragEnterEvent enterFile(middle, Qt::CopyAction, &file, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(card, &enterFile);
  EXPECT_TRUE(enterFile.isAccepted());
  EXPECT_TRUE(card->isDropTargeted());
  QDragLeaveEvent leave;
  QApplication::sendEvent(card, &leave);
  EXPECT_FALSE(card->isDropTargeted());

  QApplication::sendEvent(card, &enterFile);
  const testing::LogWindow log;
  QDropEvent drop(QPointF(middle), Qt::CopyAction, &file, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(card, &drop);
  EXPECT_FALSE(drop.isAccepted());
  EXPECT_FALSE(card->isDropTargeted());
  EXPECT_TRUE(log.has("dnd_reject reason=not_connected"));

  // A drop is taken as a copy whatever the source proposes (Shift proposes a move), and a source
  // that offers only a move is refused: it would delete the user's file.
  link();
  const Qt::DropActions copyOrMove = Qt::CopyAction | Qt::MoveAction;
  QDragEnterEvent enterMove(middle, copyOrMove, &file, Qt::LeftButton, Qt::ShiftModifier);
  ASSERT_EQ(enterMove.proposedAction(), Qt::MoveAction);
  QApplication::sendEvent(card, &enterMove);
  EXPECT_TRUE(enterMove.isAccepted());
  EXPECT_EQ(enterMove.dropAction(), Qt::CopyAction);
  QDropEvent dropMove(QPointF(middle), copyOrMove, &file, Qt::LeftButton, Qt::ShiftModifier);
  QApplication::sendEvent(card, &dropMove);
  EXPECT_TRUE(dropMove.isAccepted());
  EXPECT_EQ(dropMove.dropAction(), Qt::CopyAction);
  QDragEnterEvent enterMoveOnly(middle, Qt::MoveAction, &file, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(card, &enterMoveOnly);
  EXPECT_FALSE(enterMoveOnly.isAccepted());
  QDropEvent dropMoveOnly(QPointF(middle), Qt::MoveAction, &file, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(card, &dropMoveOnly);
  EXPECT_FALSE(dropMoveOnly.isAccepted());
  EXPECT_EQ(log.count("dnd_drop"), 1u);
}

TEST_F(SenderSectionTest, ChooserSendsToTheDeckThatOpenedItAndLogsUnreadableFiles) {
  defaults.set(settings::SettingsKey::sendToIPadTab, "localFile");
  auto view = makeView();
  LocalVideoSenderSection* section = view->senderSection();
  view->show();
  pump();
  link();
  QTest::mouseClick(section->card(Deck::b)->chooseButton(), Qt::LeftButton);
  EXPECT_EQ(section->pendingTarget(), Deck::b);
  ASSERT_NE(section->importer(), nullptr);
  EXPECT_EQ(section->importer()->fileMode(), QFileDialog::ExistingFile);
  EXPECT_TRUE(section->importer()->nameFilters().front().contains("*.mp4"));
  section->importer()->reject();
  pump();
  EXPECT_EQ(section->importer(), nullptr);
  EXPECT_EQ(broadcaster->deckB.status.get(), "");

  const testing::LogWindow log;
  section->handleFileImportError(PosixError(EACCES, "chosen file"));
  EXPECT_TRUE(log.has("file_import_fail err_domain=POSIX err_code=13 error="));
  section->handleFileImport({"/videos/a.mov"});
  EXPECT_EQ(broadcaster->deckB.status.get(), "「a.mov」を準備中...");
  EXPECT_EQ(broadcaster->deckA.status.get(), "");

  // The filter does not hold for a typed name: a file that is no video is refused as a drop is.
  const testing::TempDirectory folder;
  testing::writeText(folder / "notes.txt", "text");
  QTest::mouseClick(section->card(Deck::a)->chooseButton(), Qt::LeftButton);
  ASSERT_NE(section->importer(), nullptr);
  section->importer()->selectFile(QString::fromStdString((folder / "notes.txt").string()));
  const testing::LogWindow refused;
  // As the dialog's Open button does (QFileDialog's own accept() is protected).
  static_cast<QDialog*>(section->importer())->accept();
  pump();
  EXPECT_EQ(broadcaster->deckA.status.get(), "動画ファイルではありません: notes.txt");
  EXPECT_EQ(refused.lines(), std::vector<std::string>{"file_import_fail err_domain=POSIX err_code=22 error=<private>"});
}

} // namespace
} // namespace pd::ui::test
