// The common native layer: everything the extension modules share.
#pragma once
#include "args.hpp"
#include "checks.hpp"
#include "compat.hpp"
#include "dealloc.hpp"
#include "function.hpp"
#include "guard.hpp"
#include "module.hpp"
#include "number.hpp"
#include "ref.hpp"
#include "text.hpp"
