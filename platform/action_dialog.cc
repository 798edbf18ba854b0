#include "platform/action_dialog.h"

#include <atomic>

namespace velqor::platform {
namespace {
std::atomic<ActionDialogUi*> g_ui{nullptr};
}  // namespace

void SetActionDialogUi(ActionDialogUi* ui) {
  g_ui.store(ui);
}

int ScriptedActionDialog::RunModal(const std::string& conduitName, int* actionIndex,
                                   int* makeDefault) {
  ++runs_;
  shownName_ = conduitName;
  shownAction_ = actionIndex != nullptr ? *actionIndex : -1;
  if (!ok_) return 0;
  if (actionIndex != nullptr) *actionIndex = choice_;
  if (makeDefault != nullptr) *makeDefault = makeDefault_;
  return 1;
}

}  // namespace velqor::platform

int CHotSyncActionDlg::DoModal() {
  velqor::platform::ActionDialogUi* ui = velqor::platform::g_ui.load();
  if (ui == nullptr) return 0;  // no user interface: the dialog counts as cancelled
  int action = action_;
  int makeDefault = makeDefault_;
  int result = ui->RunModal(name_, &action, &makeDefault);
  // Only a confirmed dialog changes what the caller reads back.
  if (result == 1) {
    action_ = action;
    makeDefault_ = makeDefault;
  }
  return result;
}
