// The install and uninstall thread class of each product ID. The families with sequences of their own that are not
// built yet (RX130, TQ, HN, RX550, WT, VL210) use the CopyInf pair for now.
#pragma once

#include <cstdint>
#include <memory>

#include "installTools/installer/shell/installThread.h"

enum class SequenceClass { CopyInf, RxXXX };

// The class that serves a product ID.
SequenceClass sequenceClassOf(int32_t productId);

// Creates the thread for the product (construction steps on the calling GUI thread) and starts it.
std::unique_ptr<InstallThread> createInstallThread(int32_t productId, PcHwStatus& hw, DWORD* restartNeeded,
                                                   Install_IniSection& section);
std::unique_ptr<InstallThread> createUninstallThread(int32_t productId, PcHwStatus& hw, DWORD* restartNeeded,
                                                     Install_IniSection& section);
