#include "ChangeNotifier.h"

void ChangeNotifier::watch(std::function<void()> changedCall)
{
    std::lock_guard<std::mutex> lock(mutex);
    watcher = std::move(changedCall);
    notified = true;
    if (watcher)
        watcher();
}

void ChangeNotifier::unwatch()
{
    std::lock_guard<std::mutex> lock(mutex);
    watcher = nullptr;
}

void ChangeNotifier::acknowledge()
{
    std::lock_guard<std::mutex> lock(mutex);
    notified = false;
}

void ChangeNotifier::changed()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (notified || !watcher)
        return;
    notified = true;
    watcher();
}
