// The install engine's registry and service cleanup: the enumeration, driver and device-interface keys of a
// device and its service. On the NT5 path each key is taken over for the current user (SecurityTools) before
// it is deleted.
#pragma once

class SecurityTools;

class RegKeyTools {
 public:
  RegKeyTools(SecurityTools* security, bool nt5) : m_pSecurity(security), m_bNT5(nt5) {}

  SecurityTools* security() const { return m_pSecurity; }
  bool nt5() const { return m_bNT5; }

 private:
  SecurityTools* m_pSecurity;
  bool m_bNT5;
};
