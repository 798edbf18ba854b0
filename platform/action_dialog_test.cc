#include "platform/action_dialog.h"

#include <gtest/gtest.h>

namespace velqor::platform {
namespace {

class ActionDialogTest : public ::testing::Test {
 protected:
  void TearDown() override { SetActionDialogUi(nullptr); }
};

TEST_F(ActionDialogTest, WithoutAUserInterfaceTheDialogIsCancelled) {
  SetActionDialogUi(nullptr);
  CHotSyncActionDlg dlg;
  dlg.SetActionIndex(2);
  EXPECT_EQ(dlg.DoModal(), 0);
  EXPECT_EQ(dlg.GetActionIndex(), 2);
  EXPECT_EQ(dlg.GetDefaultFlag(), 0);
}

TEST_F(ActionDialogTest, ScriptedAnswersReachTheCaller) {
  struct Case {
    bool ok;
    int choice;
    int makeDefault;
    int result;
    int actionAfter;
    int defaultAfter;
  };
  const Case cases[] = {
      {true, 3, 1, 1, 3, 1},
      {true, 0, 0, 1, 0, 0},
      {false, 3, 1, 0, 1, 0},  // cancelled: what the caller set stays
  };
  for (const Case& c : cases) {
    ScriptedActionDialog user(c.ok, c.choice, c.makeDefault);
    SetActionDialogUi(&user);
    CHotSyncActionDlg dlg;
    dlg.SetConduitName("Date Book");
    dlg.SetActionIndex(1);
    EXPECT_EQ(dlg.DoModal() == 1, c.result == 1);
    EXPECT_EQ(dlg.GetActionIndex(), c.actionAfter);
    EXPECT_EQ(dlg.GetDefaultFlag(), c.defaultAfter);
    EXPECT_EQ(user.shown_name(), "Date Book");
    EXPECT_EQ(user.shown_action(), 1);
    EXPECT_EQ(user.runs(), 1);
  }
}

// A user interface that changes its fields before the user cancels.
class ScribblingUi : public ActionDialogUi {
 public:
  int RunModal(const std::string&, int* actionIndex, int* makeDefault) override {
    *actionIndex = 3;
    *makeDefault = 1;
    return 2;
  }
};

TEST_F(ActionDialogTest, CancelKeepsWhatTheCallerSetWhateverTheInterfaceDid) {
  ScribblingUi ui;
  SetActionDialogUi(&ui);
  CHotSyncActionDlg dlg;
  dlg.SetActionIndex(1);
  EXPECT_NE(dlg.DoModal(), 1);
  EXPECT_EQ(dlg.GetActionIndex(), 1);
  EXPECT_EQ(dlg.GetDefaultFlag(), 0);
}

TEST_F(ActionDialogTest, NullConduitNameShowsEmpty) {
  ScriptedActionDialog user(true, 0, 0);
  SetActionDialogUi(&user);
  CHotSyncActionDlg dlg;
  dlg.SetConduitName(nullptr);
  EXPECT_EQ(dlg.DoModal(), 1);
  EXPECT_EQ(user.shown_name(), "");
}

}  // namespace
}  // namespace velqor::platform
