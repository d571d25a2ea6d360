// A test environment that registers the struct, WSDL reader and message
// components in a private registry, and helpers to create them.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "interfaces/dorvish.h"
#include "interfaces/quenlin.h"
#include "interfaces/soapstruct.h"
#include "platform/com/activation.h"

namespace message::testing {

class ComponentEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string dir = (std::filesystem::temp_directory_path() / "qvquenlin.XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    dir_ = dir;
    setenv("QUORVEL_REGISTRY", (dir + "/registry").c_str(), 1);
    for (const char* component :
         {QV_SOAPSTRUCT_COMPONENT, QV_DORVISH_COMPONENT, QV_QUENLIN_COMPONENT}) {
      const std::string command = std::string(QV_REGCOMP) + " -s " + component + " >/dev/null";
      ASSERT_EQ(system(command.c_str()), 0) << component;
    }
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
  }
  void TearDown() override {
    CoUninitialize();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  const std::string& Dir() const { return dir_; }

 private:
  std::string dir_;
};

// A WSDL reader bound to `service`/`port` of the document at `path`.
inline ComPtr<Idorvish2> LoadReader(const std::string& path, std::u16string_view service,
                                    std::u16string_view port) {
  ComPtr<Idorvish2> reader;
  EXPECT_EQ(
      CoCreateInstance(CLSID_dorvish2, nullptr, CLSCTX_SERVER, IID_Idorvish2, reader.ReceiveVoid()),
      S_OK);
  if (!reader) return nullptr;
  Bstr svc(service), prt(port), url(u"file://" + std::u16string(path.begin(), path.end()));
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(reader->ReadServiceDesc(svc.Get(), prt.Get(), url.Get(), &ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE) << path;
  return ok == VARIANT_TRUE ? reader : nullptr;
}

inline ComPtr<ISoapStruct> NewStruct() {
  ComPtr<ISoapStruct> s;
  EXPECT_EQ(CoCreateInstance(CLSID_SoapStruct, nullptr, CLSCTX_SERVER, ISoapStruct::kIid,
                             s.ReceiveVoid()),
            S_OK);
  return s;
}

}  // namespace message::testing
