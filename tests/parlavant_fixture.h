#pragma once

// A fixture for tests that run Parlavant's window offscreen in the test's own process, on a
// desktop of its own in a temporary directory, with the stand-in chat client as a process.
// Error boxes are recorded instead of shown.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QString>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/main_form.h"
#include "testsupport/child_process.h"

#include "testsupport/temp_dir.h"

namespace testsupport {

class ParlavantFixture : public ::testing::Test {
 protected:
  ParlavantFixture() { desktop = platform::OpenDesktop(DesktopDir()); }
  ~ParlavantFixture() override {
    // The windows go before the desktop they are on.
    forms.clear();
    applications.clear();
    client.reset();
    desktop.reset();
  }

  std::string DesktopDir() const { return dir_ + "/d"; }

  void StartClient(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {CHATCLIENT_PATH, "--desktop", DesktopDir(), "--transcript",
                                     Transcript()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    client = std::make_unique<ChildProcess>(argv);
  }

  // Reads English, writes Spanish, asks the web service on 127.0.0.1:webPort.
  app::TMainForm& StartParlavant(platform::Desktop& on, std::uint16_t webPort,
                                 const std::string& moreSettings = "") {
    std::ofstream(dir_ + "/parlavant.ini")
        << "[General]\r\nReceive=1\r\nSend=2\r\nShowWarn=1\r\nWebService=127.0.0.1:" << webPort
        << "\r\n"
        << moreSettings;
    applications.push_back(std::make_unique<app::TApplication>(on, "parlavant"));
    applications.back()->ErrorBox = [this](const std::string&, const std::string& text) {
      boxes.push_back(text);
    };
    forms.push_back(
        std::make_unique<app::TMainForm>(*applications.back(), dir_ + "/parlavant.ini"));
    return *forms.back();
  }

  std::string Transcript() const { return dir_ + "/transcript"; }
  // The transcript's lines that begin with `prefix`, without it.
  std::vector<std::string> TranscriptLines(std::string_view prefix) const {
    std::ifstream in(Transcript());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
    }
    return lines;
  }

  // The user picks a contact in the list, or the language to send in.
  static void Choose(app::TMainForm& form, const QString& handle) {
    form.ToUsers->setCurrentIndex(form.ToUsers->findText(handle));
    emit form.ToUsers->activated(form.ToUsers->currentIndex());
  }
  static void ChooseSendIn(app::TMainForm& form, int item) {
    form.SendIn->setCurrentIndex(item);
    emit form.SendIn->activated(item);
  }

  // The text of the conversation tab with this caption; empty when there is none.
  static QString Memo(app::TMainForm& form, const QString& caption) {
    for (int i = 0; i < form.PageControl1->count(); ++i) {
      if (form.PageControl1->tabText(i) == caption) {
        return app::TMainForm::FindMemo(form.PageControl1->widget(i))->toPlainText();
      }
    }
    return {};
  }

  testsupport::TempDir temp_{"parlavant-test"};
  // No interface texts in the current directory: the designed ones stay.
  testsupport::CurrentDirectory inTemp_{temp_.Path()};
  const std::string dir_ = temp_.Path();
  std::unique_ptr<platform::Desktop> desktop;
  std::unique_ptr<ChildProcess> client;
  std::vector<std::unique_ptr<app::TApplication>> applications;
  std::vector<std::unique_ptr<app::TMainForm>> forms;
  std::vector<std::string> boxes;
};

}  // namespace testsupport
