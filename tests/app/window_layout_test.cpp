// The manager window's layout in the window's bottom-left coordinates.
#include <gtest/gtest.h>

#include "fake_core.h"
#include "tool_status.h"
#include "window_layout.h"

namespace kelvoma::app {
namespace {

std::vector<Tool> catalogTools() {
  return catalogAnswerOf(Document::parse(testing::threeToolCatalog())).tools;
}

const ControlModel* findByText(const std::vector<ControlModel>& models, const std::string& text) {
  for (const ControlModel& model : models) {
    if (model.text == text) {
      return &model;
    }
    if (const ControlModel* found = findByText(model.children, text)) {
      return found;
    }
  }
  return nullptr;
}

void collectTexts(const std::vector<ControlModel>& models, std::vector<std::string>& into) {
  for (const ControlModel& model : models) {
    into.push_back(model.text);
    collectTexts(model.children, into);
  }
}

// The application is the Linux one: nothing its window shows names the Mac.
TEST(LinuxWords, TheWindowAndItsRowsSpeakOfNoMac) {
  std::vector<std::string> texts;
  collectTexts(makeWindowLayout(catalogTools()).window.controls, texts);
  for (const Tool& tool : catalogTools()) {
    for (const auto& path : {std::optional<std::string>(), std::optional<std::string>("/A.app")}) {
      const RowPresentation row = rowPresentation(makeSnapshot(tool, {.installedPath = path}));
      texts.insert(texts.end(), {row.stateText, row.versionText, row.installTitle});
    }
  }
  for (const std::string& text : texts) {
    EXPECT_FALSE(text.contains("Mac") || text.contains("macOS") || text.contains("do Applications"))
        << text;
  }
}

TEST(ListHeight, IsAtLeastTheScrollViewAndGrowsByRows) {
  const std::pair<std::size_t, double> cases[] = {
      {0, 260}, {1, 260}, {2, 460}, {3, 690}, {5, 1150}};
  for (const auto& [tools, height] : cases) {
    EXPECT_EQ(listHeightFor(tools), height) << tools;
  }
}

TEST(RowFrames, FirstRowOnTopAndRows230Apart) {
  EXPECT_EQ(rowFrame(0, 690), (Frame{4, 468, 588, 212}));
  EXPECT_EQ(rowFrame(1, 690), (Frame{4, 238, 588, 212}));
  EXPECT_EQ(rowFrame(2, 690), (Frame{4, 8, 588, 212}));
  EXPECT_EQ(rowFrame(0, 260), (Frame{4, 38, 588, 212}));
}

TEST(WindowLayoutTest, WindowAndGlobalControls) {
  const WindowLayout layout = makeWindowLayout(catalogTools());
  const WindowModel& window = layout.window;
  EXPECT_EQ(window.width, 660);
  EXPECT_EQ(window.height, 520);
  EXPECT_EQ(window.title, "Kelvoma · Nástroje");
  EXPECT_TRUE(window.closable);
  EXPECT_TRUE(window.miniaturizable);
  EXPECT_FALSE(window.resizable);

  struct Expected {
    const char* text;
    Frame frame;
    ControlKind kind;
    Font font;
    Colour colour;
    std::optional<Action> action;
  };
  const Expected expected[] = {
      {"Malé aplikace. Jedno místo.",
       {28, 445, 400, 36},
       ControlKind::label,
       {24, FontWeight::semibold, false},
       Colour::label,
       std::nullopt},
      {"Tvoje nástroje, připravené k zapnutí.",
       {28, 410, 600, 24},
       ControlKind::label,
       {},
       Colour::secondaryLabel,
       std::nullopt},
      {"Zkontrolovat verze",
       {28, 86, 194, 32},
       ControlKind::pushButton,
       {},
       Colour::label,
       Action::checkAll},
      {"Hledat aktualizace každou hodinu",
       {242, 86, 390, 32},
       ControlKind::checkbox,
       {},
       Colour::label,
       Action::changeAutomatic},
      {"Instalovat aktualizace automaticky",
       {242, 54, 390, 30},
       ControlKind::checkbox,
       {},
       Colour::label,
       Action::changeAutomaticInstall},
      {"Spustit Kelvoma při přihlášení",
       {28, 18, 370, 30},
       ControlKind::checkbox,
       {},
       Colour::label,
       Action::changeLogin},
  };
  for (const Expected& each : expected) {
    const ControlModel* model = findByText(window.controls, each.text);
    ASSERT_NE(model, nullptr) << each.text;
    EXPECT_EQ(model->frame, each.frame) << each.text;
    EXPECT_EQ(model->kind, each.kind) << each.text;
    EXPECT_EQ(model->font, each.font) << each.text;
    EXPECT_EQ(model->colour, each.colour) << each.text;
    EXPECT_EQ(model->action, each.action) << each.text;
  }
  const ControlModel& scroll = window.controls.at(2);
  EXPECT_EQ(scroll.kind, ControlKind::scrollView);
  EXPECT_EQ(scroll.frame, (Frame{20, 132, 620, 260}));
  EXPECT_TRUE(scroll.hasVerticalScroller);
  EXPECT_FALSE(scroll.drawsBackground);
  EXPECT_EQ(scroll.documentWidth, 600);
  EXPECT_EQ(scroll.documentHeight, 690);
  EXPECT_EQ(scroll.children.size(), 3u);
}

TEST(WindowLayoutTest, RowControlsInTheirOrderWithFramesAndStyles) {
  const WindowLayout layout = makeWindowLayout(catalogTools());
  const ControlModel& scroll = layout.window.controls.at(2);
  const ControlModel& box = scroll.children.at(2);  // the external tool
  EXPECT_EQ(box.kind, ControlKind::box);
  EXPECT_EQ(box.frame, (Frame{4, 8, 588, 212}));
  EXPECT_EQ(box.cornerRadius, 10);
  EXPECT_EQ(box.borderColour, Colour::separator);
  EXPECT_EQ(box.fillColour, Colour::controlBackground);

  struct Expected {
    ControlKind kind;
    Frame frame;
    std::string text;
    Font font;
    Colour colour;
    Alignment alignment;
    int lines;
  };
  const Expected expected[] = {
      {ControlKind::image, {20, 145, 34, 34}, "", {}, Colour::label, Alignment::natural, 0},
      {ControlKind::label,
       {68, 155, 330, 26},
       "Clip Ledger",
       {17, FontWeight::semibold, false},
       Colour::label,
       Alignment::natural,
       0},
      {ControlKind::label, {420, 157, 130, 24}, "", {}, Colour::label, Alignment::right, 0},
      {ControlKind::label,
       {20, 106, 530, 40},
       "Historie schránky s rychlým hledáním; aktualizuje se sama.",
       {},
       Colour::secondaryLabel,
       Alignment::natural,
       0},
      {ControlKind::label,
       {20, 78, 386, 24},
       "",
       {12, FontWeight::regular, true},
       Colour::label,
       Alignment::natural,
       0},
      {ControlKind::checkbox,
       {20, 22, 116, 32},
       "Zapnuto",
       {},
       Colour::label,
       Alignment::natural,
       0},
      {ControlKind::pushButton,
       {146, 22, 120, 32},
       "Otevřít…",
       {},
       Colour::label,
       Alignment::natural,
       0},
      {ControlKind::pushButton,
       {422, 22, 132, 32},
       "Nainstalovat",
       {},
       Colour::label,
       Alignment::natural,
       0},
      {ControlKind::label,
       {20, 52, 534, 24},
       "Aktualizace spravuje samotná aplikace.",
       {11, FontWeight::regular, false},
       Colour::secondaryLabel,
       Alignment::natural,
       1},
      {ControlKind::progressBar,
       {20, 6, 534, 10},
       "Průběh instalace",
       {},
       Colour::label,
       Alignment::natural,
       0},
      {ControlKind::pushButton,
       {274, 22, 140, 32},
       "Přesunout do koše",
       {},
       Colour::label,
       Alignment::natural,
       0},
      {ControlKind::pushButton,
       {414, 74, 140, 30},
       "Co je nového",
       {},
       Colour::label,
       Alignment::natural,
       0},
  };
  ASSERT_EQ(box.children.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const ControlModel& model = box.children[i];
    EXPECT_EQ(model.kind, expected[i].kind) << i;
    EXPECT_EQ(model.frame, expected[i].frame) << i;
    EXPECT_EQ(model.text, expected[i].text) << i;
    EXPECT_EQ(model.font, expected[i].font) << i;
    EXPECT_EQ(model.colour, expected[i].colour) << i;
    EXPECT_EQ(model.alignment, expected[i].alignment) << i;
    EXPECT_EQ(model.maximumLines, expected[i].lines) << i;
  }
  EXPECT_EQ(box.children[0].symbol, "doc.on.clipboard");
  for (const std::size_t i : {5u, 6u, 7u, 10u}) {
    EXPECT_EQ(box.children[i].identifier, "clip-ledger");
  }
  EXPECT_EQ(box.children[5].action, Action::toggleTool);
  EXPECT_EQ(box.children[6].action, Action::settingsTool);
  EXPECT_EQ(box.children[7].action, Action::installTool);
  EXPECT_EQ(box.children[10].action, Action::trashTool);

  const ControlModel& manifestBox = scroll.children.at(0);
  EXPECT_EQ(manifestBox.frame.y, 468);
  EXPECT_EQ(manifestBox.children[6].text, "Nastavení…");
  EXPECT_EQ(manifestBox.children[8].text, "");
}

TEST(WindowLayoutTest, RowRecordsNameDistinctControls) {
  const WindowLayout layout = makeWindowLayout(catalogTools());
  std::set<ControlId> ids = {layout.scrollView,       layout.checkButton, layout.automatic,
                             layout.automaticInstall, layout.login,       layout.updateAllButton};
  for (const auto& [id, record] : layout.rows) {
    for (const ControlId each :
         {record.state, record.version, record.toggle, record.settings, record.install,
          record.message, record.progress, record.trash, record.notes}) {
      EXPECT_NE(each, noControl);
      EXPECT_TRUE(ids.insert(each).second) << id;
    }
  }
  EXPECT_EQ(ids.size(), 6u + 3u * 9u);
}

}  // namespace
}  // namespace kelvoma::app
