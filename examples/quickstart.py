"""A linear regression on generated data: declare the model, sample it, print the summary."""

import numpy as np

import vorpex


def main():
    # Generated data: y = 1.5 + 2.0 * x1 - 0.7 * x2 + noise with sd 0.5.
    rng = np.random.default_rng(2024)
    n = 200
    x1 = rng.normal(size=n)
    x2 = rng.uniform(-2.0, 2.0, size=n)
    y = 1.5 + 2.0 * x1 - 0.7 * x2 + rng.normal(scale=0.5, size=n)

    builder = vorpex.ModelBuilder(data={"x1": x1, "x2": x2, "y": y})
    alpha = builder.normal_prior("alpha", 0.0, 10.0)
    beta1 = builder.normal_prior("beta1", 0.0, 5.0)
    beta2 = builder.normal_prior("beta2", 0.0, 5.0)
    sigma = builder.half_normal_prior("sigma", 2.0)
    builder.normal_likelihood("y", alpha + beta1 * "x1" + beta2 * "x2", sigma, "y")
    model = builder.build()

    # Four NUTS chains on the worker pool; the progress line is drawn on standard error.
    fit = vorpex.sample(model, chains=4, draws=1000, warmup=500, seed=42)

    print(fit.summary())
    print()
    print("true values: alpha=1.5, beta1=2.0, beta2=-0.7, sigma=0.5")


if __name__ == "__main__":
    main()
