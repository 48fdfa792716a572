// korvel's two exit statuses.
#pragma once

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = -1;
