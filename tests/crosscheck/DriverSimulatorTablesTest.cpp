// The drivers and the simulator each read the datasheets on their own. Where both describe
// the same hardware, the two readings must agree entry by entry; a mismatch names the
// driver's table row and the simulator's entry so the wrong side can be found.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "biosguard_var/BiosGuardVarDxe.h"
#include "pch/GpioGroupTables.h"
#include "pch/P2sbRegisters.h"
#include "pch/PchVariant.h"
#include "pch/PmcRegisters.h"
#include "sim/board/Board.h"
#include "sim/devices/AcpiPmc.h"
#include "sim/devices/GpioGroupLayout.h"
#include "sim/devices/PchDevices.h"

namespace {

std::string Hex(unsigned v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%X", v);
  return b;
}

struct Family {
  const char* label;
  const char* driver_table;
  const GpioGroupDescriptor* rows;
  unsigned count;
  const char* const* names;
  sim::GpioFamily sim_family;
  UINT8 driver_chipset;
  uint8_t sim_chipset;
};

void CompareGroups(const Family& f) {
  const auto& layouts = sim::GpioGroupLayouts(f.sim_family);
  ASSERT_EQ(f.count, layouts.size()) << f.label << ": driver " << f.driver_table << " has " << f.count
                                     << " groups, simulator " << layouts.size();
  EXPECT_EQ(f.driver_chipset, f.sim_chipset) << f.label << " GpioPadId chipset identifier";
  for (unsigned i = 0; i < f.count; ++i) {
    const GpioGroupDescriptor& d = f.rows[i];
    const sim::GpioGroupLayout& s = layouts[i];
    const std::string where = std::string(f.label) + ": driver " + f.driver_table + "[" + std::to_string(i) + "] (" +
                              f.names[i] + ") against simulator group " + std::to_string(s.index) + " (" + s.name + ")";
    EXPECT_EQ(std::string(f.names[i]), s.name) << where;
    const struct {
      const char* driver_field;
      unsigned driver;
      const char* sim_field;
      unsigned simulator;
    } fields[] = {
        {"PortId", d.PortId, "port", s.port},
        {"PadOwn", d.PadOwn, "pad_own", s.pad_own},
        {"HostSwOwn", d.HostSwOwn, "hostsw_own", s.hostsw_own},
        {"GpiIs", d.GpiIs, "gpi_is", s.gpi_is},
        {"GpiIe", d.GpiIe, "gpi_ie", s.gpi_ie},
        {"GpiGpeSts", d.GpiGpeSts, "gpi_gpe_sts", s.gpi_gpe_sts},
        {"GpiGpeEn", d.GpiGpeEn, "gpi_gpe_en", s.gpi_gpe_en},
        {"GpiSmiSts", d.GpiSmiSts, "gpi_smi_sts", s.gpi_smi_sts},
        {"GpiSmiEn", d.GpiSmiEn, "gpi_smi_en", s.gpi_smi_en},
        {"GpiNmiSts", d.GpiNmiSts, "gpi_nmi_sts", s.gpi_nmi_sts},
        {"GpiNmiEn", d.GpiNmiEn, "gpi_nmi_en", s.gpi_nmi_en},
        {"PadCfgLock", d.PadCfgLock, "padcfglock", s.padcfglock},
        {"PadCfgLockTx", d.PadCfgLockTx, "padcfglocktx", s.padcfglocktx},
        {"PadCfgDw0", d.PadCfgDw0, "pad_cfg_dw0", s.pad_cfg_dw0},
        {"PadCount", d.PadCount, "pads", s.pads},
    };
    for (const auto& x : fields)
      EXPECT_EQ(x.driver, x.simulator) << where << ": driver " << x.driver_field << " = " << Hex(x.driver)
                                       << ", simulator " << x.sim_field << " = " << Hex(x.simulator);
  }
}

TEST(DriverAgainstSimulator, GpioGroupLayoutsAgreeRowByRow) {
  CompareGroups({"PCH-H", "kGpioGroupTablePchH", kGpioGroupTablePchH, unsigned(std::size(kGpioGroupTablePchH)),
                 kGpioGroupNamesPchH, sim::GpioFamily::kPchH, kGpioChipsetIdPchH, sim::kGpioPadIdChipsetPchH});
  CompareGroups({"PCH-LP", "kGpioGroupTablePchLp", kGpioGroupTablePchLp, unsigned(std::size(kGpioGroupTablePchLp)),
                 kGpioGroupNamesPchLp, sim::GpioFamily::kPchLp, kGpioChipsetIdPchLp, sim::kGpioPadIdChipsetPchLp});
}

TEST(DriverAgainstSimulator, EveryLpcDeviceIdGivesTheSameVariant) {
  unsigned mismatches = 0;
  for (unsigned id = 0; id <= 0xFFFF && mismatches < 8; ++id) {
    const PchVariant driver = PchVariantOfDeviceId(static_cast<UINT16>(id));
    const sim::PchFamily* family = sim::PchFamilyOfLpcDeviceId(static_cast<uint16_t>(id));
    const sim::PchKind kind = family != nullptr ? family->kind : sim::PchKind::kUnknown;
    const PchVariant expected =
        kind == sim::PchKind::kH ? PchVariantH : kind == sim::PchKind::kLp ? PchVariantLp : PchVariantUnknown;
    if (driver == expected) continue;
    ++mismatches;
    ADD_FAILURE() << "LPC device ID " << Hex(id) << ": driver kPchDeviceIdTable gives variant " << Hex(driver)
                  << ", simulator family " << (family != nullptr ? family->name : "(none)") << " gives "
                  << Hex(expected);
  }
}

TEST(DriverAgainstSimulator, CapsuleVariableNameAndVendorGuid) {
  uint8_t driver[16];
  std::memcpy(driver, kBiosGuardCapsuleVariableGuidWords, sizeof driver);
  uint8_t simulator[16];
  std::memcpy(simulator, &sim::kCapsuleVariableVendor, sizeof simulator);
  for (unsigned i = 0; i < 16; ++i)
    EXPECT_EQ(driver[i], simulator[i]) << "vendor GUID byte " << i << ": driver kBiosGuardCapsuleVariableGuidWords, "
                                       << "simulator kCapsuleVariableVendor";
  EXPECT_EQ(std::u16string(kBiosGuardCapsuleVariableName), std::u16string(sim::kCapsuleVariableName))
      << "variable name: driver kBiosGuardCapsuleVariableName, simulator kCapsuleVariableName";
}

TEST(DriverAgainstSimulator, PmcAcpiRegistersAndFields) {
  using sim::AcpiPmc;
  const struct {
    const char* name;
    unsigned driver;
    unsigned simulator;
  } facts[] = {
      {"PM1_STS port", pmc::Pm1Sts::kPort, AcpiPmc::kAbase + AcpiPmc::kPm1Sts},
      {"PM1_EN port", pmc::Pm1En::kPort, AcpiPmc::kAbase + AcpiPmc::kPm1En},
      {"PM1_CNT port", pmc::Pm1Cnt::kPort, AcpiPmc::kAbase + AcpiPmc::kPm1Cnt},
      {"SMI_EN port", pmc::SmiEn::kPort, AcpiPmc::kAbase + AcpiPmc::kSmiEn},
      {"SMI_STS port", pmc::SmiSts::kPort, AcpiPmc::kAbase + AcpiPmc::kSmiSts},
      {"PM1_STS.TMROF_STS", pmc::Pm1Sts::TmrofSts::kMask, AcpiPmc::kTmrofSts},
      {"PM1_STS.PWRBTN_STS", pmc::Pm1Sts::PwrbtnSts::kMask, AcpiPmc::kPwrbtnSts},
      {"PM1_STS.RTC_STS", pmc::Pm1Sts::RtcSts::kMask, AcpiPmc::kRtcSts},
      {"PM1_STS.WAK_STS", pmc::Pm1Sts::WakSts::kMask, AcpiPmc::kWakSts},
      {"PM1_EN.PWRBTN_EN", pmc::Pm1En::PwrbtnEn::kMask, AcpiPmc::kPwrbtnEn},
      {"PM1_CNT.SCI_EN", pmc::Pm1Cnt::SciEn::kMask, AcpiPmc::kSciEn},
      {"PM1_CNT.SLP_TYP", pmc::Pm1Cnt::SlpTyp::kMask, AcpiPmc::kSlpTypMask},
      {"PM1_CNT.SLP_EN", pmc::Pm1Cnt::SlpEn::kMask, AcpiPmc::kSlpEn},
      {"SLP_TYP S3", pmc::Pm1Cnt::kS3, AcpiPmc::kSlpTypS3},
      {"SLP_TYP S4", pmc::Pm1Cnt::kS4, AcpiPmc::kSlpTypS4},
      {"SLP_TYP S5", pmc::Pm1Cnt::kS5, AcpiPmc::kSlpTypS5},
      {"SMI_EN.GBL_SMI_EN", pmc::SmiEn::GblSmiEn::kMask, AcpiPmc::kGblSmiEn},
      {"SMI_EN.EOS", pmc::SmiEn::Eos::kMask, AcpiPmc::kEos},
      {"SMI_EN.SLP_SMI_EN", pmc::SmiEn::SlpSmiEn::kMask, AcpiPmc::kSlpSmiEn},
      {"SMI_EN.APMC_EN", pmc::SmiEn::ApmcEn::kMask, AcpiPmc::kApmcEn},
      {"SMI_STS.SLP_SMI_STS", pmc::SmiSts::SlpSmiSts::kMask, AcpiPmc::kSlpSmiSts},
      {"SMI_STS.APM_STS", pmc::SmiSts::ApmSts::kMask, AcpiPmc::kApmSts},
      {"SMI_STS.PM1_STS_REG", pmc::SmiSts::Pm1StsReg::kMask, AcpiPmc::kPm1StsReg},
      {"SMI_STS write-1-to-clear bits", pmc::SmiSts::kW1c, AcpiPmc::kSmiStsW1c},
  };
  for (const auto& f : facts)
    EXPECT_EQ(f.driver, f.simulator) << f.name << ": driver pch/PmcRegisters.h " << Hex(f.driver)
                                     << ", simulator AcpiPmc " << Hex(f.simulator);
}

// Where SMM code checks that the sideband window and PWRM still decode at their fixed
// addresses, and where the simulator lets software move them.
TEST(DriverAgainstSimulator, MovableBaseRegisters) {
  const struct {
    const char* name;
    uint64_t driver;
    uint64_t simulator;
  } facts[] = {
      {"SBREG_BAR offset", p2sb::SbregBarLow::kOffset, sim::P2sb::kSbregBarRegister},
      {"SBREG_BARH offset", p2sb::SbregBarHigh::kOffset, sim::P2sb::kSbregBarRegister + 4u},
      {"SBREG_BAR firmware base", p2sb::kSbregBar, sim::P2sb::kFirmwareWindowBase},
      {"P2SBC offset", p2sb::P2sbc::kOffset, sim::P2sb::kControlRegister},
      {"P2SBC.HIDE", p2sb::P2sbc::Hide::kMask, sim::P2sb::kControlHide},
      {"PMC PWRMBASE offset", pmc::PwrmBaseRegister::kOffset, sim::PmcFunction::kPwrmBaseRegister},
      {"PWRMBASE firmware base", pmc::kPwrmBase, sim::PmcFunction::kFirmwareBase},
  };
  for (const auto& f : facts)
    EXPECT_EQ(f.driver, f.simulator) << f.name << ": driver " << Hex(f.driver) << ", simulator " << Hex(f.simulator);
}

}  // namespace
