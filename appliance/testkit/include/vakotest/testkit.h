// Test support shared by every test binary.
#pragma once

#include <string>
#include <vector>

namespace vakotest {

// True inside a throwaway appliance made by vako-sandbox.
bool InSandbox();

std::string ReadFile(const std::string &path);
bool FileExists(const std::string &path);
void WriteFile(const std::string &path, const std::string &content, unsigned mode = 0644);
void RemoveFile(const std::string &path);

} // namespace vakotest
