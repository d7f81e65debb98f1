// Request records with every field set, and a text of all fields for comparing records that
// travelled (GoogleTest prints the two texts when they differ).
#pragma once

#include <string>

#include "qxseccm/CertRequest.h"

namespace QxTest {

// SampleRequest returns request number n: every field set, the strings with characters that
// markup must escape and characters outside the BMP, its own platform values.
template <class R>
R SampleRequest(int n) {
  using QxMoxStr::String_t;
  R r;
  const std::string s = std::to_string(n);
  r->SetId(String_t("id-" + s));
  r->SetContext(String_t(u"ctx <&> \u00e9\U0001F600 " + std::u16string(s.begin(), s.end())));
  r->SetCN(String_t("node" + s + ".example"));
  r->SetNodename(String_t("node" + s));
  r->SetIPAddress(String_t("10.0.0." + s));
  r->SetPeerAddress(String_t("192.168.1." + s));
  r->GetPlatform()->SetTypeCode(6 + n);
  r->GetPlatform()->SetVers1(5);
  r->GetPlatform()->SetVers2(n);
  r->GetPlatform()->SetVers3(-1);
  r->GetPlatform()->SetCPUTypeCode(7);
  r->SetInstallationType(R::IT_INSTALLATION_KEY);
  r->SetTimeReceived(static_cast<typename R::Time>(1700000000 + n));
  return r;
}

// Describe returns every field of r, platform included, as one line.
template <class R>
std::string Describe(const R& r) {
  const auto platform = r.GetPlatform();
  return "id=" + r.GetId().ToUtf8() + " context=" + r.GetContext().ToUtf8() +
         " cn=" + r.GetCN().ToUtf8() + " node=" + r.GetNodename().ToUtf8() +
         " ip=" + r.GetIPAddress().ToUtf8() + " peer=" + r.GetPeerAddress().ToUtf8() +
         " install=" + std::to_string(static_cast<int>(r.GetInstallationType())) +
         " received=" + std::to_string(r.GetTimeReceived()) +
         " platform=" + std::to_string(platform.GetTypeCode()) + "/" +
         std::to_string(platform.GetVers1()) + "/" + std::to_string(platform.GetVers2()) + "/" +
         std::to_string(platform.GetVers3()) + "/" + std::to_string(platform.GetCPUTypeCode());
}

}  // namespace QxTest
