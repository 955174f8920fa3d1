// The email_notifier program: mails selected events of the router's event daemon.
#pragma once

int email_notifier_main(int argc, char **argv);
