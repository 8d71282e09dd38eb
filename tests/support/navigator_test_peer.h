// The tests' one way to the navigator's private state and internal steps, which are not
// part of its API.
#pragma once

#include "clipwalk/frame_navigator.h"
#include "navigator/navigator_impl.h"

namespace clipwalk {

struct NavigatorTestPeer {
  static FrameNavigator::Impl& impl(FrameNavigator& nav) { return *nav.impl_; }
  static const FrameNavigator::Impl& impl(const FrameNavigator& nav) { return *nav.impl_; }
};

inline FrameNavigator::Impl& internals(FrameNavigator& nav) { return NavigatorTestPeer::impl(nav); }
inline const FrameNavigator::Impl& internals(const FrameNavigator& nav) {
  return NavigatorTestPeer::impl(nav);
}

}  // namespace clipwalk
