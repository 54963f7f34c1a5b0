// The process option list: the service program fills one key:value list at start-up and
// publishes it here; every engine part reads its tuning keys from it and keeps its defaults when
// there is no list or no entry. The list stays the service's; nothing here frees it.
#pragma once

class OB_NamedStringList;

// Publishes the list (not owned; null withdraws it), replacing an earlier one without freeing
// it. Publication is atomic, so a reader on another thread sees either list whole. Returns 0.
int setOptions(OB_NamedStringList* options);
// The published list, or null before the first setOptions.
OB_NamedStringList* getOptions();
