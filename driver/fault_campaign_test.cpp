// The systematic fault campaign over a card's life (start, encoder bring-up, stop and remove): each
// allocation site failing once, and each I2C transaction going unacknowledged. Every run must end in a
// failure status or a documented degraded state, never a crash or a broken kernel rule, with nothing of the
// driver's left after remove; and a clean start on the same machine must then succeed.
//
// Documented degraded states:
//  - a registry read that cannot get its memory keeps the value's default;
//  - a bring-up whose firmware load or configuration fails leaves the mailbox not ready (commands fail with
//    STATUS_DEVICE_NOT_READY) or the encoder only partly configured; start itself has succeeded;
//  - an I2C transaction nobody acknowledged is retried (up to eight attempts); an answer the probe then does
//    not get changes what it decides (tuner type, optional peripherals, board kind), as it would on a board
//    whose chip missed the transfer.
#include <iostream>

#include "driver/driver_services.h"
#include "driver/encoder_mailbox.h"
#include "driver/pelgar_test_fixture.h"
#include "driver/simcard/firmware_image.h"

namespace {

using ::testing::IsEmpty;

enum class Phase { Start, BringUp, Stop };
const char* PhaseName(Phase p) { return p == Phase::Start ? "start" : p == Phase::BringUp ? "bring-up" : "stop"; }

struct Outcome {
  NTSTATUS start = STATUS_PENDING;
  NTSTATUS bringUp = STATUS_PENDING;
  bool firmwareReady = false;
  ULONG boardKind = 0;
  ULONG tunerType = 0;
  bool Clean() const { return NT_SUCCESS(start) && NT_SUCCESS(bringUp) && firmwareReady; }
};

class FaultCampaignTest : public DriverFixture {
 protected:
  void SetUp() override {
    DriverFixture::SetUp();
    card = &Plug("kind2.card");  // every optional peripheral: the most I2C traffic
    simcard::InstallTestFirmware(kernel);
  }

  // One life of the card. `arm` and `disarm` bracket the phase under test.
  template <class Arm, class Disarm>
  Outcome Life(Phase phase, Arm arm, Disarm disarm) {
    Outcome o;
    PKSDEVICE device = nullptr;
    EXPECT_EQ(ks.Add(card->pdo, &device), STATUS_SUCCESS);
    if (device == nullptr) return o;
    if (phase == Phase::Start) arm();
    o.start = ks.Start(device, card->resources);
    if (phase == Phase::Start) disarm();
    auto* context = static_cast<pelgar::PelgarDevice*>(device->Context);
    if (phase == Phase::BringUp) arm();
    for (int i = 0; i < 6000 && NT_SUCCESS(o.start) && context->bringUpStatus == STATUS_PENDING; ++i)
      kernel.RunFor(10 * ksim::kMillisecond);
    if (phase == Phase::BringUp) disarm();
    if (NT_SUCCESS(o.start)) {
      o.bringUp = context->bringUpStatus;
      o.firmwareReady = context->mailbox != nullptr && context->mailbox->Ready();
    }
    o.boardKind = context->boardKind;
    o.tunerType = context->tunerType;
    if (phase == Phase::Stop) arm();
    if (device->Started) ks.Stop(device);
    ks.Remove(device);
    if (phase == Phase::Stop) disarm();
    EXPECT_THAT(kernel.CheckUnload(), IsEmpty()) << "nothing of the driver's is left after remove";
    return o;
  }
  Outcome CleanLife() {
    return Life(
        Phase::Start, [] {}, [] {});
  }

  PluggedCard* card = nullptr;
};

TEST_F(FaultCampaignTest, EachAllocationSiteFailingOnceInStartBringUpAndStop) {
  const Outcome reference = CleanLife();
  ASSERT_TRUE(reference.Clean());
  // The pool blocks each phase of a clean life asks for (the driver's objects and the registry's strings).
  auto pool = [&] { return kernel.Allocations(pelgar::kDriverTag) + kernel.Allocations(ksim::MakeTag("Wdm ")); };
  for (Phase phase : {Phase::Start, Phase::BringUp, Phase::Stop}) {
    uint64_t begin = 0, blocks = 0;
    Life(
        phase, [&] { begin = pool(); }, [&] { blocks = pool() - begin; });
    std::cout << "pool blocks in a clean " << PhaseName(phase) << ": " << blocks << "\n";
    if (phase == Phase::Start) {
      EXPECT_GT(blocks, 0u);
    }
  }
  size_t sites = 0, runs = 0;
  for (Phase phase : {Phase::Start, Phase::BringUp, Phase::Stop}) {
    SCOPED_TRACE(PhaseName(phase));
    size_t phaseSites = 0;
    for (;;) {
      ASSERT_LT(runs, 300u);
      const size_t before = kernel.InjectedFailures().size();
      Outcome o = Life(
          phase, [&] { kernel.FailEachSiteOnce(true); }, [&] { kernel.FailEachSiteOnce(false); });
      ++runs;
      if (kernel.InjectedFailures().size() == before) {
        EXPECT_TRUE(o.Clean()) << "a run without a failure is a clean one";
        break;
      }
      ++phaseSites;
      const std::string what = kernel.InjectedFailures().back();
      SCOPED_TRACE(what);
      const bool registryDefault = what.find("registry_config.cpp") != std::string::npos;
      if (phase == Phase::Start && !registryDefault) {
        EXPECT_FALSE(NT_SUCCESS(o.start));
      }
      if (phase == Phase::BringUp) {
        EXPECT_EQ(o.start, STATUS_SUCCESS);
        if (!registryDefault) {
          EXPECT_FALSE(o.Clean()) << "a failed allocation in the bring-up shows";
        }
      }
      if (phase == Phase::Stop) {
        EXPECT_TRUE(o.Clean()) << "stop allocates nothing it cannot do without";
      }
      Outcome after = CleanLife();
      ++runs;
      EXPECT_TRUE(after.Clean()) << "a clean start follows";
      EXPECT_EQ(after.boardKind, reference.boardKind);
    }
    sites += phaseSites;
    std::cout << "allocation campaign, " << PhaseName(phase) << ": " << phaseSites << " sites\n";
  }
  std::cout << "allocation campaign: " << sites << " sites, " << runs << " runs\n";
  RecordProperty("allocationSites", static_cast<int>(sites));
  RecordProperty("allocationRuns", static_cast<int>(runs));
  EXPECT_GE(sites, 20u);
}

TEST_F(FaultCampaignTest, EachI2cTransactionUnacknowledgedInStartBringUpAndStop) {
  simcard::I2cEngine& bus = card->sim->I2c();
  const Outcome reference = CleanLife();
  ASSERT_TRUE(reference.Clean());
  // The transactions of each phase in a clean life.
  uint64_t counts[3] = {};
  for (Phase phase : {Phase::Start, Phase::BringUp, Phase::Stop}) {
    uint64_t begin = 0;
    Life(
        phase, [&] { begin = bus.Transactions(); },
        [&] { counts[static_cast<int>(phase)] = bus.Transactions() - begin; });
  }
  ASSERT_GT(counts[0], 0u);
  size_t transactions = 0, runs = 0, failedStarts = 0, changedProbes = 0;
  for (Phase phase : {Phase::Start, Phase::BringUp, Phase::Stop}) {
    const uint64_t count = counts[static_cast<int>(phase)];
    for (uint32_t burst : {1u, 8u}) {  // a transfer missed once (retried), and one missed on every attempt
      for (uint64_t n = 1; n <= count; ++n) {
        SCOPED_TRACE(std::string(PhaseName(phase)) + " transaction " + std::to_string(n) + " missed " +
                     std::to_string(burst) + " times");
        Outcome o = Life(
            phase, [&] { bus.FailTransactions(bus.Transactions() + n, burst); }, [&] { bus.FailTransactions(0, 0); });
        ++runs;
        if (phase == Phase::Start && !NT_SUCCESS(o.start)) {
          EXPECT_EQ(o.start, STATUS_UNSUCCESSFUL) << "only the EEPROM write fails start";
          ++failedStarts;
        } else {
          EXPECT_EQ(o.start, STATUS_SUCCESS);
        }
        if (o.boardKind != reference.boardKind || o.tunerType != reference.tunerType) ++changedProbes;
        if (burst == 1) {
          EXPECT_EQ(o.boardKind, reference.boardKind) << "a single miss is retried";
        }
        Outcome after = CleanLife();
        ++runs;
        EXPECT_TRUE(after.Clean()) << "a clean start follows";
        EXPECT_EQ(after.tunerType, reference.tunerType);
      }
    }
    transactions += count;
    std::cout << "I2C campaign, " << PhaseName(phase) << ": " << count << " transactions\n";
  }
  std::cout << "I2C campaign: " << transactions << " transactions, " << runs << " runs, " << failedStarts
            << " failed starts, " << changedProbes << " runs with another probe result\n";
  RecordProperty("i2cTransactions", static_cast<int>(transactions));
  RecordProperty("i2cRuns", static_cast<int>(runs));
}

}  // namespace
