// Test-only frames for the capture driver's tests: a simulated card plugged into a fresh kernel stand-in
// (from a sample card file in driver/cards or from card text), and the class driver with nvpelgar loaded.
// No fault may remain unchecked at the end of a test.
#pragma once

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "driver/device.h"
#include "driver/kernel/sim/kernel_fixture.h"
#include "driver/kernel/sim/ks_class.h"
#include "driver/simcard/card_file.h"
#include "driver/simcard/firmware_image.h"
#include "driver/simcard/sim_card.h"

// A card on the machine: its simulation and its physical device with the card file's "DriverData" values.
struct PluggedCard {
  std::unique_ptr<simcard::SimCard> sim;
  PDEVICE_OBJECT pdo = nullptr;
  ksim::RegistryKey* driverData = nullptr;
  ksim::CardResources resources;
  std::string I2cLog() const { return sim->I2c().LogText(); }
};

class CardFixture : public KernelFixture {
 protected:
  static std::string CardText(const std::string& file) {
    std::ifstream in(std::string(TV_CARDS_DIR) + "/" + file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Plugs in a card described by card-file text; fails the test on a parse error.
  PluggedCard& PlugText(const std::string& text, const std::string& name = "card") {
    simcard::CardDescription description;
    simcard::ParseResult parsed = simcard::ParseCardFile(text, &description);
    EXPECT_TRUE(parsed.ok) << "line " << parsed.line << ": " << parsed.error;
    auto card = std::make_unique<PluggedCard>();
    card->sim = simcard::SimCard::Create(kernel, description);
    card->pdo = kernel.AddPhysicalDevice(name);
    card->driverData = &kernel.DriverKey(card->pdo).Create("DriverData");
    simcard::WriteDriverData(description, kernel.DriverKey(card->pdo));
    card->resources = ksim::CardResources{description.memoryAddress,
                                          static_cast<ULONG>(description.memoryLength),
                                          description.vector,
                                          description.irql,
                                          description.latched,
                                          description.shared,
                                          1};
    cards.push_back(std::move(card));
    return *cards.back();
  }
  PluggedCard& Plug(const std::string& file, const std::string& name = "card") {
    return PlugText(CardText(file), name);
  }

  std::vector<std::unique_ptr<PluggedCard>> cards;
};

class DriverFixture : public CardFixture {
 protected:
  void SetUp() override { ASSERT_EQ(ks.Load(DriverEntry), STATUS_SUCCESS); }

  PKSDEVICE Add(PluggedCard& card) {
    PKSDEVICE device = nullptr;
    EXPECT_EQ(ks.Add(card.pdo, &device), STATUS_SUCCESS);
    return device;
  }
  static pelgar::PelgarDevice* Context(PKSDEVICE device) {
    return static_cast<pelgar::PelgarDevice*>(device->Context);
  }
  // Lets the encoder bring-up of a started card finish: it sleeps on the virtual clock while the firmware
  // loads and boots, so the clock has to move.
  void WaitForBringUp(PKSDEVICE device) {
    kernel.RunUntilIdle();
    for (int i = 0; i < 100000 && Context(device)->bringUpStatus == STATUS_PENDING; ++i)
      kernel.RunFor(10 * ksim::kMillisecond);
  }
  // Adds and starts a plugged card with the test firmware image in the driver folder and waits for the
  // encoder bring-up: the started device, or null (the failure reported) when a step fails.
  PKSDEVICE StartWithTestFirmware(PluggedCard& card) {
    simcard::InstallTestFirmware(kernel);
    PKSDEVICE device = Add(card);
    if (device == nullptr) return nullptr;
    const NTSTATUS started = ks.Start(device, card.resources);
    EXPECT_EQ(started, STATUS_SUCCESS);
    if (!NT_SUCCESS(started)) return nullptr;
    WaitForBringUp(device);
    EXPECT_EQ(Context(device)->bringUpStatus, STATUS_SUCCESS);
    return Context(device)->bringUpStatus == STATUS_SUCCESS ? device : nullptr;
  }
  // Removes the device and checks that nothing of the driver's is left: every pool block, handle, mapping,
  // buffer, adapter, interrupt and thread.
  void RemoveAndCheck(PKSDEVICE device) {
    ks.Remove(device);
    EXPECT_THAT(kernel.CheckUnload(), ::testing::IsEmpty());
  }

  ksim::KsClassDriver ks{kernel};
};
