#pragma once

#include <functional>
#include <mutex>

// Tells whoever watches a conversation that it changed: once, and not again
// until the watcher acknowledges, however many changes come meanwhile. The
// call runs on the thread that made the change, under a lock that unwatch()
// takes too, so that a watcher is never called after unwatch() returned.
class ChangeNotifier
{
public:
    // A new watcher is called once at once: something may have happened before.
    void watch(std::function<void()> changed);
    void unwatch();
    void acknowledge();
    void changed();

private:
    std::mutex mutex;
    std::function<void()> watcher;
    bool notified = false;
};
