#pragma once

// The command runner's public headers.

#include "shell/Arguments.h"
#include "shell/AsyncCommand.h"
#include "shell/Bash.h"
#include "shell/Command.h"
#include "shell/CommandError.h"
#include "shell/CommandRunning.h"
#include "shell/Context.h"
#include "shell/Files.h"
#include "shell/LazySplit.h"
#include "shell/RunOutput.h"
#include "shell/Stream.h"
