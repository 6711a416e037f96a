// Front-end hooks for tests: each moment answered by a function the test gives, installed
// for the object's lifetime.
#pragma once

#include <functional>

#include "tasks/FrontEnd.h"

class CTestHooks final : public IFrontEndHooks {
 public:
  CTestHooks() { SetFrontEndHooks(this); }
  ~CTestHooks() override { SetFrontEndHooks(nullptr); }
  CTestHooks(const CTestHooks&) = delete;
  CTestHooks& operator=(const CTestHooks&) = delete;

  void RunDeepScan(CDirectory* folder) override {
    if (deepScan) deepScan(folder);
  }
  bool ReadMft(CNTFSDriver* volume) override {
    if (!readMft) return false;
    readMft(volume);
    return true;
  }
  void ResultsFolderGrew(CDirectory* folder) override {
    if (grew) grew(folder);
  }

  std::function<void(CDirectory*)> deepScan;
  std::function<void(CNTFSDriver*)> readMft;
  std::function<void(CDirectory*)> grew;
};
