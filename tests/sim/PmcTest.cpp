// The PMC's ACPI block and the SMM core's chipset dispatcher: power button and sleep entry
// reach SleepGpioSmm only through PM1/SMI status and enable bits, as on the PCH.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "sim/board/Board.h"
#include "sim/devices/AcpiPmc.h"

namespace {

// Ports of the block on this board (ABASE 0x1800), written out rather than taken from the
// model so that a wrong offset in it fails here.
constexpr uint16_t kPm1Sts = 0x1800, kPm1En = 0x1802, kPm1Cnt = 0x1804, kSmiEn = 0x1830, kSmiSts = 0x1834;

TEST(AcpiPmc, StatusBitsAreWriteOneToClearAndPm1StsRegFollowsTheEnables) {
  sim::AcpiPmc pmc;
  unsigned smis = 0;
  pmc.on_smi = [&] { ++smis; };
  pmc.PressPowerButton();
  EXPECT_EQ(pmc.IoRead(kPm1Sts, 2), 0x0100u);         // PWRBTN_STS
  EXPECT_EQ(pmc.IoRead(kSmiSts, 4) & 0x100, 0u);     // PM1_STS_REG: PWRBTN_EN is clear
  EXPECT_EQ(smis, 0u);
  pmc.IoWrite(kPm1Sts, 2, 0x0000);                   // writing 0 changes nothing
  pmc.IoWrite(kPm1Sts, 1, 0xFF);                     // the low byte does not hold PWRBTN_STS
  EXPECT_EQ(pmc.IoRead(kPm1Sts, 2), 0x0100u);
  pmc.IoWrite(kPm1En, 2, 0x0100);                    // PWRBTN_EN
  EXPECT_EQ(pmc.IoRead(kSmiSts, 4) & 0x100, 0x100u);
  EXPECT_EQ(smis, 0u) << "GBL_SMI_EN is clear";
  pmc.IoWrite(kSmiEn, 4, 0x1);                       // GBL_SMI_EN raises the pending source
  EXPECT_EQ(smis, 1u);
  EXPECT_EQ(pmc.IoRead(kSmiEn, 4) & 0x2, 0u) << "EOS clears when the SMI is raised";
  pmc.IoWrite(kSmiSts, 4, 0x100);                    // PM1_STS_REG is read-only
  EXPECT_EQ(pmc.IoRead(kSmiSts, 4) & 0x100, 0x100u);
  pmc.IoWrite(kPm1Sts, 2, 0x0100);
  EXPECT_EQ(pmc.IoRead(kPm1Sts, 2), 0u);
  EXPECT_EQ(pmc.IoRead(kSmiSts, 4), 0u);
}

TEST(AcpiPmc, SmiWaitsForEndOfSmiAndGoesToTheOsWithSciEn) {
  sim::AcpiPmc pmc;
  unsigned smis = 0;
  pmc.on_smi = [&] { ++smis; };
  pmc.IoWrite(kSmiEn, 4, 0x1 | 0x10);  // GBL_SMI_EN, SLP_SMI_EN
  pmc.IoWrite(kPm1En, 2, 0x0100);
  pmc.PressPowerButton();
  EXPECT_EQ(smis, 1u);
  pmc.IoWrite(kPm1Cnt, 4, (7u << 10) | (1u << 13));  // SLP_TYP S5, SLP_EN: trapped
  EXPECT_EQ(pmc.IoRead(kSmiSts, 4) & 0x10, 0x10u);    // SLP_SMI_STS
  EXPECT_EQ(smis, 1u) << "held until the handler sets EOS";
  EXPECT_EQ(pmc.sleep_state(), 0u);
  pmc.IoWrite(kPm1Sts, 2, 0x0100);
  pmc.IoWrite(kSmiEn, 4, pmc.IoRead(kSmiEn, 4) | 0x2);
  EXPECT_EQ(smis, 2u);
  EXPECT_EQ(pmc.IoRead(kPm1Cnt, 4), 7u << 10) << "SLP_EN reads 0";

  sim::AcpiPmc os;
  unsigned os_smis = 0;
  os.on_smi = [&] { ++os_smis; };
  os.IoWrite(kSmiEn, 4, 0x1);
  os.IoWrite(kPm1En, 2, 0x0100);
  os.IoWrite(kPm1Cnt, 4, 0x1);  // SCI_EN: ACPI mode
  os.PressPowerButton();
  EXPECT_EQ(os_smis, 0u);
  EXPECT_EQ(os.sci_count(), 1u);
}

TEST(AcpiPmc, SleepEnableWithoutTheTrapEntersTheState) {
  sim::AcpiPmc pmc;
  std::vector<unsigned> entered;
  pmc.on_sleep = [&](unsigned t) { entered.push_back(t); };
  pmc.IoWrite(kSmiEn, 4, 0x1);
  pmc.IoWrite(kPm1Cnt, 4, (6u << 10) | (1u << 13));
  EXPECT_EQ(entered, std::vector<unsigned>{6});
  EXPECT_EQ(pmc.sleep_state(), 6u);
  pmc.Wake();
  EXPECT_EQ(pmc.sleep_state(), 0u);
  EXPECT_EQ(pmc.IoRead(kPm1Sts, 2) & 0x8000, 0x8000u);  // WAK_STS
}

// The whole board: SleepGpioSmm registered its handlers, so the core armed the sources.
struct BoardWithPmc {
  BoardWithPmc() : board(sim::Board::CreateInMemory(sim::Board::DefaultDescription(), std::vector<uint8_t>(1u << 20, 0xFF))) {
    board->Boot();
    id = board->bus().AddObserver([this](const sim::Bus::Access& a) {
      if ((a.kind == "IR" || a.kind == "IW") && a.address >= 0x1800 && a.address < 0x1840) {
        std::ostringstream o;
        o << a.kind << " " << std::hex << std::uppercase << a.address << "=" << a.value;
        pmc.push_back(o.str());
      }
    });
  }
  ~BoardWithPmc() { board->bus().RemoveObserver(id); }
  std::string Sequence() const {
    std::string s;
    for (auto& l : pmc) s += l + "\n";
    return s;
  }
  std::unique_ptr<sim::Board> board;
  std::vector<std::string> pmc;
  int id = 0;
};

TEST(ChipsetDispatcher, PowerButtonIsDecodedFromSmiStsAndPm1StsAndCleared) {
  BoardWithPmc b;
  EXPECT_EQ(b.board->acpi_pm().pm1_en() & 0x100, 0x100) << "PWRBTN_EN armed by the registration";
  EXPECT_EQ(b.board->acpi_pm().smi_en() & 0x13, 0x13u) << "GBL_SMI_EN, EOS, SLP_SMI_EN";
  sim::SmiResult r = b.board->PressPowerButton();
  EXPECT_TRUE(r.smi);
  EXPECT_TRUE(r.handled);
  EXPECT_EQ(b.Sequence(),
            "IR 1834=100\n"    // SMI_STS: PM1_STS_REG
            "IR 1800=100\n"    // PM1_STS: PWRBTN_STS
            "IR 1802=100\n"    // PM1_EN: PWRBTN_EN
            "IW 1800=100\n"    // PWRBTN_STS cleared after the handlers ran
            "IR 1830=11\n"     // SMI_EN, EOS cleared by the SMI
            "IW 1830=13\n");   // EOS: end of SMI
  EXPECT_EQ(b.board->acpi_pm().pm1_sts(), 0);
  EXPECT_EQ(b.board->acpi_pm().smi_en() & 0x2, 0x2u);
}

TEST(ChipsetDispatcher, PowerButtonWithoutItsEnableRaisesNoSmiAndStaysPending) {
  BoardWithPmc b;
  b.board->bus().IoWrite(kPm1En, 2, 0);  // the OS clears PWRBTN_EN
  sim::SmiResult r = b.board->PressPowerButton();
  EXPECT_FALSE(r.smi);
  EXPECT_FALSE(r.handled);
  EXPECT_EQ(b.board->acpi_pm().pm1_sts() & 0x100, 0x100) << "the status stays for whoever enables it";
  b.board->bus().IoWrite(kSmiEn, 4, b.board->acpi_pm().smi_en() & ~1u);  // GBL_SMI_EN off
  b.board->bus().IoWrite(kPm1En, 2, 0x100);
  EXPECT_FALSE(b.board->PressPowerButton().smi);
}

TEST(ChipsetDispatcher, SleepEntryIsTheOsWriteOfPm1CntTrappedAndCompleted) {
  BoardWithPmc b;
  sim::SmiResult r = b.board->EnterSleep(SxS5);
  EXPECT_TRUE(r.smi);
  EXPECT_TRUE(r.handled);
  EXPECT_EQ(b.Sequence(),
            "IR 1804=0\n"       // the OS reads PM1_CNT
            "IW 1804=3C00\n"    // and writes SLP_TYP S5 with SLP_EN: trapped
            "IR 1834=10\n"      // SMI_STS: SLP_SMI_STS
            "IR 1804=1C00\n"    // PM1_CNT: SLP_TYP 7 is S5
            "IW 1834=10\n"      // SLP_SMI_STS cleared
            "IR 1830=11\n"
            "IW 1830=1\n"       // SLP_SMI_EN off
            "IW 1804=3C00\n"    // SLP_EN again: the platform enters S5
            "IR 1830=1\n"
            "IW 1830=3\n");     // EOS
  EXPECT_EQ(b.board->acpi_pm().sleep_state(), sim::AcpiPmc::kSlpTypS5);
  EXPECT_EQ(b.board->acpi_pm().smi_sts(), 0u);
  // The next event wakes the platform and the core arms SLP_SMI_EN again.
  EXPECT_TRUE(b.board->EnterSleep(SxS4).handled);
  EXPECT_EQ(b.board->acpi_pm().sleep_state(), sim::AcpiPmc::kSlpTypS4);
}

}  // namespace
