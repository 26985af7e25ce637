#pragma once

#include "core/Error.h"

#include <QString>

#include <cstdint>

// What a call raised: number, source and description, or all empty.
struct Raised {
    std::int32_t number = 0;
    QString source, description;
};

template <typename F> Raised raised(F&& f) {
    try {
        f();
    } catch (const kalimor::Error& e) {
        return {e.number(), e.source(), e.description()};
    }
    return {};
}
