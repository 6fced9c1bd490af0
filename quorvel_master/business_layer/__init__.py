"""Business layer: domain services used by the host application."""
