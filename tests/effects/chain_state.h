// What the effect chain is handed (its settings and its work state in one
// record) and the colour tables, built once: shared by the effect, pipeline
// and fuzz code that runs the chain.
#pragma once

#include "effects/effect_chain.h"

struct ChainState : EffectSettings, EffectWorkState {};

inline const ColorTables& Tables() {
  static ColorTables* t = [] { auto* p = new ColorTables; BuildColorTables(p); return p; }();
  return *t;
}
