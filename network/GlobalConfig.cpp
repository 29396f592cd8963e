#include "GlobalConfig.h"

boost::shared_ptr<GlobalConfig> GlobalConfig::config;

// The first call comes from the Core constructor on the GUI thread, before any
// IO thread exists, so the lazy creation needs no lock.
boost::shared_ptr<GlobalConfig> GlobalConfig::Instance()
{
    if (!config)
        config.reset(new GlobalConfig());
    return config;
}
