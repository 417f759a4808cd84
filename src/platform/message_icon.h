#pragma once

// The icon a message box shows beside its text.
enum class MessageIcon { Error, Warning, Exclamation, Information };
