#include "controlpanel/model/server_values.h"

#include <utility>

#include "controlpanel/model/texts.h"
#include "interfaces/soapstruct.h"
#include "interfaces/soapstruct_access.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/object.h"
#include "platform/com/text_array.h"
#include "platform/text/text.h"

namespace controlpanel {

const std::array<const char16_t*, kServiceColumnCount> kSvcInfoMembers = {
    u"SvcURI",     u"SvcName", u"Port",       u"WSDL_URL", u"SvcProgID",
    u"HdrProgIDs", u"Roles",   u"NextHopURL", u"NodeURI",  u"Enabled"};

std::vector<std::string> SplitList(std::string_view cell) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < cell.size()) {
    while (i < cell.size() && cell[i] == ' ') ++i;
    const size_t start = i;
    while (i < cell.size() && cell[i] != ' ') ++i;
    if (i > start) words.emplace_back(cell.substr(start, i - start));
  }
  return words;
}

std::string JoinList(const std::vector<std::string>& words) {
  std::string out;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i > 0) out += ' ';
    out += words[i];
  }
  return out;
}

std::string FillIn(std::string_view form, std::string_view value) {
  std::string out(form);
  const size_t at = out.find("%s");
  if (at != std::string::npos) out.replace(at, 2, value);
  return out;
}

std::string AsciiUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = text::AsciiToUpper(c);
  return out;
}

namespace {

std::string_view WithoutWildcard(std::string_view uri) {
  if (uri.ends_with("/*")) uri.remove_suffix(2);
  return uri;
}

// A copy of `v` with any VT_BYREF followed.
bool Dereferenced(const VARIANT& v, Variant* out) {
  return SUCCEEDED(VariantCopyInd(out->Receive(), &v));
}

bool ReadTextElement(SAFEARRAY* a, VARTYPE et, const LONG* indices, std::string* out) {
  std::u16string wide;
  if (!com::GetTextElement(a, et, indices, com::EmptyElement::Allowed, &wide)) return false;
  *out = text::Narrow(wide);
  return true;
}

// HdrProgIDs and Roles, joined into one cell.
bool ReadTextList(const VARIANT& v, std::string* out) {
  std::vector<std::u16string> wide;
  if (!com::GetTextVector(v, com::EmptyElement::Allowed, &wide)) return false;
  std::vector<std::string> words;
  for (const std::u16string& w : wide) words.push_back(text::Narrow(w));
  *out = JoinList(words);
  return true;
}

bool ReadServiceRow(const VARIANT& element, ServiceRow* row) {
  ComPtr<ISoapStruct> s = SoapStructOf(element);
  if (!s) return false;
  for (size_t c = 0; c < kServiceColumnCount; ++c) {
    const Variant value = SoapStructMember(s.Get(), kSvcInfoMembers[c]);
    bool ok = false;
    if (c == kColHeaderHandlers || c == kColRoles) {
      ok = ReadTextList(value, &(*row)[c]);
    } else if (c == kColEnabled) {
      bool on = false;
      ok = value.vt == VT_EMPTY || value.vt == VT_NULL || ReadSwitch(value, &on);
      (*row)[c] = on ? texts::kYes : texts::kNo;
    } else {
      ok = ReadText(value, &(*row)[c]);
    }
    if (!ok) return false;
  }
  return true;
}

bool MakeTextList(const std::vector<std::string>& words, Variant* out) {
  SAFEARRAY* a = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(words.size()));
  if (!a) return false;
  for (size_t i = 0; i < words.size(); ++i) {
    const LONG index = LONG(i);
    Variant word = Variant::FromText(text::Widen(words[i]));
    if (word.vt != VT_BSTR || FAILED(SafeArrayPutElement(a, &index, &word))) {
      SafeArrayDestroy(a);
      return false;
    }
  }
  out->Receive()->vt = VT_ARRAY | VT_VARIANT;
  out->parray = a;
  return true;
}

bool MakeServiceStruct(const ServiceRow& row, Variant* out) {
  ComPtr<ISoapStruct> s;
  if (FAILED(CoCreateInstance(CLSID_SoapStruct, nullptr, CLSCTX_SERVER, ISoapStruct::kIid,
                              s.ReceiveVoid())) ||
      !s) {
    return false;
  }
  for (size_t c = 0; c < kServiceColumnCount; ++c) {
    Variant value;
    if (c == kColHeaderHandlers || c == kColRoles) {
      if (!MakeTextList(SplitList(row[c]), &value)) return false;
    } else if (c == kColEnabled) {
      value = Variant::FromBool(row[c] == texts::kYes);
    } else {
      value = Variant::FromText(text::Widen(row[c]));
      if (value.vt != VT_BSTR) return false;
    }
    VARIANT_BOOL ok = VARIANT_FALSE;
    Bstr name{std::u16string_view(kSvcInfoMembers[c])};
    if (FAILED(s->SetMember(name.Get(), value, &ok)) || ok != VARIANT_TRUE) return false;
  }
  ComPtr<IDispatch> dispatch = com::QueryInterfacePtr<IDispatch>(s.Get());
  if (!dispatch) return false;
  out->Receive()->vt = VT_DISPATCH;
  out->pdispVal = dispatch.Detach();
  return true;
}

}  // namespace

bool SameServiceUri(std::string_view a, std::string_view b) {
  return WithoutWildcard(a) == WithoutWildcard(b);
}

bool ReadText(const VARIANT& v, std::string* out) {
  if (v.vt == VT_EMPTY || v.vt == VT_NULL) {
    out->clear();
    return true;
  }
  if (v.vt != VT_BSTR) return false;
  *out = text::Narrow(BstrView(v.bstrVal));
  return true;
}

bool ReadSwitch(const VARIANT& v, bool* on) {
  if (v.vt != VT_BOOL) return false;
  *on = v.boolVal == VARIANT_TRUE;
  return true;
}

bool ReadInteger(const VARIANT& v, int32_t* out) {
  Variant i4;
  if (FAILED(VariantChangeType(&i4, &v, 0, VT_I4)) || i4.vt != VT_I4) return false;
  *out = i4.lVal;
  return true;
}

bool ReadSvcInfo(const VARIANT& svc_info, std::vector<ServiceRow>* rows) {
  rows->clear();
  Variant holder;
  SAFEARRAY* a = nullptr;
  LONG lo = 0, hi = -1;
  if (!com::OpenVariantVector(svc_info, &holder, &a, &lo, &hi)) return false;
  for (int64_t i = lo; i <= hi; ++i) {
    const LONG index = LONG(i);
    Variant element;
    ServiceRow row;
    if (FAILED(SafeArrayGetElement(a, &index, &element)) || !ReadServiceRow(element, &row)) {
      return false;
    }
    rows->push_back(std::move(row));
  }
  return true;
}

bool MakeSvcInfo(const std::vector<ServiceRow>& rows, Variant* out) {
  SAFEARRAY* a = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(rows.size()));
  if (!a) return false;
  for (size_t r = 0; r < rows.size(); ++r) {
    const LONG index = LONG(r);
    Variant element;
    if (!MakeServiceStruct(rows[r], &element) || FAILED(SafeArrayPutElement(a, &index, &element))) {
      SafeArrayDestroy(a);
      return false;
    }
  }
  out->Receive()->vt = VT_ARRAY | VT_VARIANT;
  out->parray = a;
  return true;
}

bool ReadMimeTypes(const VARIANT& mime_types, std::vector<MimeRow>* rows) {
  rows->clear();
  Variant holder;
  SAFEARRAY* a = nullptr;
  VARTYPE et = VT_EMPTY;
  LONG lo0 = 0, hi0 = -1, lo1 = 0, hi1 = -1;
  if (!Dereferenced(mime_types, &holder) || !com::OpenTextArray(holder, 2, &a, &et) ||
      !com::GetArrayBounds(a, 1, &lo0, &hi0) || !com::GetArrayBounds(a, 2, &lo1, &hi1) ||
      int64_t(hi0) - lo0 != 1) {
    return false;
  }
  for (int64_t i = lo1; i <= hi1; ++i) {
    MimeRow row;
    for (size_t j = 0; j < row.size(); ++j) {
      const LONG indices[2] = {LONG(lo0 + int64_t(j)), LONG(i)};
      if (!ReadTextElement(a, et, indices, &row[j])) return false;
    }
    rows->push_back(std::move(row));
  }
  return true;
}

bool MakeMimeTypes(const std::vector<MimeRow>& rows, Variant* out) {
  const SAFEARRAYBOUND bounds[2] = {{2, 0}, {ULONG(rows.size()), 0}};
  SAFEARRAY* a = SafeArrayCreate(VT_VARIANT, 2, bounds);
  if (!a) return false;
  for (size_t r = 0; r < rows.size(); ++r) {
    for (size_t c = 0; c < 2; ++c) {
      const LONG indices[2] = {LONG(c), LONG(r)};
      Variant cell = Variant::FromText(text::Widen(rows[r][c]));
      if (cell.vt != VT_BSTR || FAILED(SafeArrayPutElement(a, indices, &cell))) {
        SafeArrayDestroy(a);
        return false;
      }
    }
  }
  out->Receive()->vt = VT_ARRAY | VT_VARIANT;
  out->parray = a;
  return true;
}

}  // namespace controlpanel
