#pragma once

// The command runner's public headers.

#include "shell/CommandRunning.h"
#include "shell/Context.h"
#include "shell/Files.h"
#include "shell/LazySplit.h"
#include "shell/Stream.h"
