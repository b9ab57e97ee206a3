// Names of PCI and USB vendors, devices, subsystems and classes from the
// public pci.ids and usb.ids databases, each read whole at its first question
// and answered from that one text. A name the databases do not hold is an
// empty string; callers show the hex id instead.
#pragma once

#include <cstdint>
#include <string>

namespace hw {

// For one thread only: the const lookups fill indexes as they are first needed.
class Ids {
public:
    static Ids& instance();
    ~Ids();
    Ids(const Ids&) = delete;
    Ids& operator=(const Ids&) = delete;

    std::string pci_vendor(uint16_t vendor) const;
    std::string pci_device(uint16_t vendor, uint16_t device) const;
    // Falls back to the subsystem vendor's name when the pair is not listed.
    std::string pci_subsystem(uint16_t sub_vendor, uint16_t sub_device, uint16_t vendor,
                              uint16_t device) const;
    // class_code: base class in bits 23..16, subclass 15..8, programming
    // interface 7..0. The programming interface's name, else the subclass's,
    // else the base class's: each level only by its own entry.
    std::string pci_class(uint32_t class_code) const;
    // The subclass of class_code (its programming interface ignored), else the
    // base class: names that programming-interface lines such as
    // "00 Normal decode" under "04 PCI bridge" cannot replace.
    std::string pci_subclass(uint32_t class_code) const;
    std::string usb_vendor(uint16_t vendor) const;
    std::string usb_device(uint16_t vendor, uint16_t device) const;
    // Built-in table, translated in the current language; not from usb.ids.
    std::string usb_class(uint8_t cls) const;

    // Paths of the databases in use; empty when none was found.
    const std::string& pci_ids_path() const { return m_pci_path; }
    const std::string& usb_ids_path() const { return m_usb_path; }

private:
    struct Impl;
    friend struct IdsTestAccess;  // tests load fresh instances under fixture roots

    Ids();
    // Tests: scan as machines without the widest vector instructions do.
    static void use_narrow_scan(bool narrow);
    // Tests: how long a file must hold still before its text counts as
    // finished (2 s otherwise).
    static void use_settle_time_ms(int64_t ms);

    Impl* m_impl = nullptr;
    std::string m_pci_path;
    std::string m_usb_path;
};

}  // namespace hw
