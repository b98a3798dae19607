#include "core/thread_resolutions.hpp"

namespace quorix::core {

bool ThreadResolutions::on_path(const Provider* record) const noexcept {
    for (const PathFrame* each = path; each != nullptr; each = each->outer) {
        const PathFrame& frame = *each;
        if (frame.record == record) {
            return true;
        }
        // A walk's step closes the subtree from its `begin`: the steps that
        // enclose the one under way are its path.
        for (std::size_t index = frame.current; index < frame.steps_end && frame.record == nullptr; ++index) {
            const Step& step = steps[index];
            const bool closes = step.kind == Step::Kind::call || step.kind == Step::Kind::made;
            if (closes && step.record.get() == record && step.begin <= frame.current) {
                return true;
            }
        }
    }
    return false;
}

ThreadResolutions& detail::make_thread_resolutions() {
    thread_local ThreadResolutions resolutions;
    this_thread_resolutions = &resolutions;
    return resolutions;
}

}  // namespace quorix::core
