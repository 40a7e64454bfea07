#pragma once

// Does, in ordinary circumstances, the work the fault translation hook must not do while
// a fault is being dispatched. SeTranslatorGuard calls it before it installs the
// translator.
void PrepareFaultTranslation();
