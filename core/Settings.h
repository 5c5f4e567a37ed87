#pragma once
// The program's settings: one process-wide keyed variant tree whose root has an empty key and
// value; every setting is a child of the root keyed by its name. The program loads it from the
// settings file at start and saves it back at shutdown.
//
// Thread: main thread only (the tree is not locked).

class MVarArray;

// The settings root. create = true builds an empty tree on first use; create = false returns the
// existing tree or null (also after ShutdownSettings).
MVarArray* GetSettings(bool create = true);

// Destroys the tree. Called at program end; a later GetSettings(true) starts an empty one.
void ShutdownSettings();
