// Placeholder until the first shared fixture lands.
