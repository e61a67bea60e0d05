#include "engine/RecoveryController.h"

#include <atomic>

namespace {
// Read by the writer's and the preview's threads while the UI thread or the scan thread sets it.
std::atomic<IRecoveryController*> g_currentController{nullptr};
}  // namespace

IRecoveryController* GetCurrentRecoveryController() { return g_currentController.load(std::memory_order_acquire); }

void SetCurrentRecoveryController(IRecoveryController* controller) {
    g_currentController.store(controller, std::memory_order_release);
}
