// The common native layer: everything the extension modules share.
#pragma once
#include "args.hpp"
#include "compat.hpp"
#include "dealloc.hpp"
#include "error.hpp"
#include "function.hpp"
#include "globals.hpp"
#include "guard.hpp"
#include "method.hpp"
#include "module.hpp"
#include "number.hpp"
#include "ref.hpp"
#include "text.hpp"
