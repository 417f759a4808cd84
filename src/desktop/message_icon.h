#pragma once

// The icon a message box shows.
enum class MessageIcon { Error, Warning, Exclamation, Information };
