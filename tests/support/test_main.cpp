// Test entry under Wine: the control lives in a single-threaded apartment, so the
// tests call it from one.
#include <objbase.h>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) return 2;
  const int result = RUN_ALL_TESTS();
  ::CoUninitialize();
  return result;
}
