// Which engine records on Windows: the platform encoder's automation objects
// where their class is registered, our own engine otherwise.
#pragma once

// Registers both engines behind one factory per class (encoder, profile),
// which hands every creation to the chosen engine. Returns false when the
// class table is full.
bool WindowsEnginesRegister();
