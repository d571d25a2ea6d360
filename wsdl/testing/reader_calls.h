// Test helpers: a dorvish2 object made in process, and one-line calls of
// Idorvish2 methods by their shape that render the outcome as text ("<false>"
// on failure, the [out] values joined by '|' on success), so that tables of
// cases can run through the object directly and through IDispatch alike.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "interfaces/dorvish.h"
#include "platform/com/bstr.h"
#include "platform/text/text.h"
#include "wsdl/dorvish_impl.h"

namespace wsdl::testing {

inline const std::u16string kFalse = u"<false>";

inline ComPtr<Idorvish2> NewReader() {
  ComPtr<DorvishImpl> object = com::MakeComObject<DorvishImpl>();
  EXPECT_EQ(object->FinalConstruct(), S_OK);
  return ComPtr<Idorvish2>(object.Get());
}

inline ComPtr<Idorvish2> ThroughDispatch(Idorvish2* reader) {
  return com::MakeDispatchProxy<Idorvish2>(reader);
}

inline std::string FileUrl(const std::string& path) { return "file://" + path; }

inline bool Load(Idorvish2* r, std::u16string_view service, std::u16string_view port,
                 const std::string& url) {
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(
      r->ReadServiceDesc(Bstr(service).Get(), Bstr(port).Get(), Bstr(text::Widen(url)).Get(), &ok),
      S_OK);
  return ok == VARIANT_TRUE;
}

inline std::u16string Joined(VARIANT_BOOL ok, std::initializer_list<BSTR> outs) {
  if (ok != VARIANT_TRUE) return kFalse;
  std::u16string text;
  bool first = true;
  for (BSTR b : outs) {
    if (!first) text.push_back(u'|');
    first = false;
    text.append(BstrView(b));
  }
  return text;
}

using I = Idorvish2;

inline std::u16string Bool(I* r, HRESULT (I::*f)(BSTR, BSTR, VARIANT_BOOL*), std::u16string_view a,
                           std::u16string_view b) {
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ((r->*f)(Bstr(a).Get(), Bstr(b).Get(), &ok), S_OK);
  return ok == VARIANT_TRUE ? u"true" : u"false";
}

inline std::u16string S0(I* r, HRESULT (I::*f)(BSTR*, VARIANT_BOOL*)) {
  Bstr out;
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ((r->*f)(out.Receive(), &ok), S_OK);
  return Joined(ok, {out.Get()});
}

inline std::u16string S1(I* r, HRESULT (I::*f)(BSTR, BSTR*, VARIANT_BOOL*), std::u16string_view a) {
  Bstr out;
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ((r->*f)(Bstr(a).Get(), out.Receive(), &ok), S_OK);
  return Joined(ok, {out.Get()});
}

inline std::u16string S3(I* r, HRESULT (I::*f)(BSTR, BSTR, BSTR, BSTR*, VARIANT_BOOL*),
                         std::u16string_view a, std::u16string_view b, std::u16string_view c) {
  Bstr out;
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ((r->*f)(Bstr(a).Get(), Bstr(b).Get(), Bstr(c).Get(), out.Receive(), &ok), S_OK);
  return Joined(ok, {out.Get()});
}

inline std::u16string T2(I* r, HRESULT (I::*f)(BSTR, BSTR, BSTR*, BSTR*, VARIANT_BOOL*),
                         std::u16string_view a, std::u16string_view b) {
  Bstr type, ns;
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ((r->*f)(Bstr(a).Get(), Bstr(b).Get(), type.Receive(), ns.Receive(), &ok), S_OK);
  return Joined(ok, {type.Get(), ns.Get()});
}

inline std::u16string T3(I* r, HRESULT (I::*f)(BSTR, BSTR, BSTR, BSTR*, BSTR*, VARIANT_BOOL*),
                         std::u16string_view a, std::u16string_view b, std::u16string_view c) {
  Bstr type, ns;
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ((r->*f)(Bstr(a).Get(), Bstr(b).Get(), Bstr(c).Get(), type.Receive(), ns.Receive(), &ok),
            S_OK);
  return Joined(ok, {type.Get(), ns.Get()});
}

inline std::u16string Member(I* r, std::u16string_view type, std::u16string_view type_ns,
                             std::u16string_view member, std::u16string_view member_ns) {
  Bstr out_type, out_ns;
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(
      r->GetStructMemberType(Bstr(type).Get(), Bstr(type_ns).Get(), Bstr(member).Get(),
                             Bstr(member_ns).Get(), out_type.Receive(), out_ns.Receive(), &ok),
      S_OK);
  return Joined(ok, {out_type.Get(), out_ns.Get()});
}

inline std::u16string Long2(I* r, HRESULT (I::*f)(BSTR, BSTR, LONG*, VARIANT_BOOL*),
                            std::u16string_view a, std::u16string_view b) {
  LONG value = -99;
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ((r->*f)(Bstr(a).Get(), Bstr(b).Get(), &value, &ok), S_OK);
  return ok == VARIANT_TRUE ? text::Widen(std::to_string(value)) : kFalse;
}

inline std::u16string Address(I* r) {
  Bstr host, uri;
  INT port = -1;
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(r->GetSOAPAddress(host.Receive(), uri.Receive(), &port, &ok), S_OK);
  if (ok != VARIANT_TRUE) return kFalse;
  return std::u16string(BstrView(host.Get())) + u"|" + std::u16string(BstrView(uri.Get())) + u"|" +
         text::Widen(std::to_string(port));
}

inline std::u16string ActionRequired(I* r, std::u16string_view op) {
  VARIANT_BOOL required = 7;
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(r->SOAPActionRequired(Bstr(op).Get(), &required, &ok), S_OK);
  if (ok != VARIANT_TRUE) return kFalse;
  return required == VARIANT_TRUE ? u"required" : (required == VARIANT_FALSE ? u"optional" : u"?");
}

inline std::u16string NamesByAction(I* r, std::u16string_view action) {
  Bstr method, ns;
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(r->GetMethodNamesBySOAPAction(Bstr(action).Get(), method.Receive(), ns.Receive(), &ok),
            S_OK);
  return Joined(ok, {method.Get(), ns.Get()});
}

inline std::u16string LiteralArray(I* r, std::u16string_view name, std::u16string_view ns) {
  Bstr type, type_ns, item, item_ns;
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(r->GetArrayTypeLit(Bstr(name).Get(), Bstr(ns).Get(), type.Receive(), type_ns.Receive(),
                               item.Receive(), item_ns.Receive(), &ok),
            S_OK);
  return Joined(ok, {type.Get(), type_ns.Get(), item.Get(), item_ns.Get()});
}

}  // namespace wsdl::testing
