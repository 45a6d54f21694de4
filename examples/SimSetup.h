// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

// What a real agent does not need: a scratch folder holding one simulated
// volume and a configuration that chooses the simulated engine, so that the
// example runs without root and without LVM.
class SimSetup {
 public:
  SimSetup();  // throws std::runtime_error with the reason
  ~SimSetup();

  const std::string& volume() const { return m_volume; }      // the directory that plays the volume
  const std::string& stateDir() const { return m_stateDir; }  // the agent's record, map and mount root
  std::string config() const { return m_top + "/agent.ini"; }

 private:
  SimSetup(const SimSetup&);
  SimSetup& operator=(const SimSetup&);

  std::string m_top, m_volume, m_stateDir;
};

// Whole file contents, or "" when it cannot be read.
std::string ReadText(const std::string& path);
// Replaces a file's contents; throws std::runtime_error when it cannot.
void WriteText(const std::string& path, const std::string& text);
// True when dir exists and holds nothing.
bool IsEmptyDirectory(const std::string& dir);
