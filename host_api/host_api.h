#pragma once

/* The whole host interface in one include. */

#include "ae_custom_ui.h"
#include "ae_effect.h"
#include "ae_smart_render.h"
#include "ae_suites.h"
#include "ae_types.h"
#include "pr_suites.h"
#include "sp_basic.h"
