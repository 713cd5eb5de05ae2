#pragma once

// What a copy does when a file of its name waits in the destination.
enum class OnCopy { Prompt, Rename, Replace };
