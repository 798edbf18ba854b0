// The action dialog with which the user chooses what the next synchronization does. Its user
// interface is a seam: the host program installs one (a terminal version in the stand-in), and
// tests script the user's answer.
#pragma once

#include <string>

namespace velqor::platform {

class ActionDialogUi {
 public:
  virtual ~ActionDialogUi() = default;
  // Shows the dialog with the conduit name and the preselected action (0 to 3). Returns 1 for
  // OK, anything else for cancel; on OK writes the chosen action and the default flag.
  virtual int RunModal(const std::string& conduitName, int* actionIndex, int* makeDefault) = 0;
};

// A scripted user for tests: answers OK or cancel with a chosen action and default flag and
// remembers what the dialog showed.
class ScriptedActionDialog : public ActionDialogUi {
 public:
  ScriptedActionDialog(bool ok, int choice, int makeDefault)
      : ok_(ok), choice_(choice), makeDefault_(makeDefault) {}
  int RunModal(const std::string& conduitName, int* actionIndex, int* makeDefault) override;
  const std::string& shown_name() const { return shownName_; }
  int shown_action() const { return shownAction_; }
  int runs() const { return runs_; }

 private:
  bool ok_;
  int choice_, makeDefault_;
  std::string shownName_;
  int shownAction_ = -1;
  int runs_ = 0;
};

void SetActionDialogUi(ActionDialogUi* ui);  // not owned; null: every dialog is cancelled

}  // namespace velqor::platform

class CHotSyncActionDlg {
 public:
  explicit CHotSyncActionDlg(void* parent = nullptr) : parent_(parent) {}
  void SetConduitName(const char* name) { name_ = name ? name : ""; }
  void SetActionIndex(int index) { action_ = index; }
  int GetActionIndex() const { return action_; }
  int GetDefaultFlag() const { return makeDefault_; }
  int DoModal();  // 1 for OK

 private:
  void* parent_;
  std::string name_;
  int action_ = 0;
  int makeDefault_ = 0;
};
