// A repair driver over the library's real repair object with a scripted
// repairer in place of a container's, so that stops, failures and the whole
// repair road can be forced whatever containers the library knows. Only test
// targets linked with the library's static archive can use it.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "QRepairObject.h"
#include "RepairRecorder.h"
#include "core/TestDoubles.h"
#include "core/VideoRepair.h"

class ScriptedVideoRepair : public CVideoRepair {
public:
    explicit ScriptedVideoRepair(mendtest::RepairScript script) : m_script(std::move(script)) {}

protected:
    std::unique_ptr<IBaseRepair> CreateRepairer(JRVPVideoFormat, IBaseStream* input) override
    {
        return std::make_unique<mendtest::ScriptedRepair>(input, m_script);
    }

private:
    mendtest::RepairScript m_script;
};

inline void DeleteScriptedRepair(IVideoRepair* repair)
{
    delete repair;
}

// A driver of path over a scripted repair, and what it reports.
struct ScriptedDriven {
    ScriptedDriven(const std::string& path, mendtest::RepairScript script)
        : repair(new ScriptedVideoRepair(std::move(script))),
          driver(QModelIndex(), path.c_str(), repair, DeleteScriptedRepair),
          rec(driver)
    {
    }
    IVideoRepair* repair;  // owned by the driver
    QRepairObject driver;
    RepairRecorder rec;
};
