// SoapClientChannel: the ManagementChannel over the application's SoapClient.
#pragma once

#include "client/soap_client.h"
#include "controlpanel/model/management_channel.h"

namespace controlpanel {

class SoapClientChannel : public ManagementChannel {
 public:
  explicit SoapClientChannel(client::SoapClient& client) : client_(client) {}

  bool Bind(const ChannelBinding& binding) override;
  bool CreateMessage() override { return client_.CreateMessage(); }
  bool AddHeader(std::u16string_view ns, std::u16string_view name, const VARIANT& content,
                 bool must_understand, std::u16string_view actor) override {
    return client_.AddHeader(ns, name, content, must_understand, actor);
  }
  bool GetHeader(std::u16string_view ns, std::u16string_view name, VARIANT* content) override {
    return client_.GetHeader(ns, name, content);
  }
  bool Invoke(std::u16string_view method, const std::u16string* names, VARIANT* values,
              int32_t count, VARIANT* result) override {
    return client_.Invoke(method, names, values, count, result);
  }
  bool IsFaultResponse() const override { return client_.IsFaultResponse(); }
  std::string LastRequest() const override;
  std::string LastResponse() const override;
  void Release() override { client_.ReleaseObjects(); }

 private:
  client::SoapClient& client_;
};

}  // namespace controlpanel
