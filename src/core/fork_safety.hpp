// Containers across a fork of the process.
//
// A fork copies only the forking thread: a container that another thread held
// stays held in the child, where no thread can release it, and its state may
// be in the middle of that thread's operation. Every container is enrolled in
// one process-wide list, so that the fork handlers can hold each container's
// sleeping machinery across the fork (the child then gets it consistent) and,
// in the child, mark the containers that a lost thread held: every operation on
// them fails at once instead of waiting for ever. Containers that no other
// thread held work on in the child, as does the parent.
//
// Where the platform has no fork, enrolment is all there is.
#pragma once

#include <cstdint>

namespace quorix::core {

// How many forks made this process (0 in the first): a singleton's maker
// records it, so that a child can tell a maker the fork did not copy.
std::uint64_t forks_so_far() noexcept;

class Container;

void enroll_for_fork(Container& container) noexcept;
void unenroll_for_fork(Container& container) noexcept;

}  // namespace quorix::core
