"""Local-level model of the Nile flow data fitted by maximum likelihood with the native filter.

Run ``python -m Velmora.demo [--plot PATH | --no-plot]``. The model is

    y(t) = mu(t) + eps(t),    eps ~ N(0, sigma_eps^2)
    mu(t+1) = mu(t) + eta(t), eta ~ N(0, sigma_eta^2)

as in Durbin and Koopman, Time Series Analysis by State Space Methods (2nd ed., 2012), ch. 2,
whose estimates are printed beside ours.
"""

import argparse
import csv
import importlib.resources
import io

import numpy as np

from Velmora._ckernels.kalman._kalman import kalman_hot_loop, kalman_smoother

PUBLISHED = {"obs_var": 15099.0, "level_var": 1469.1, "loglik": -632.54}
DEFAULT_PLOT = "nile_filtered.png"
ONE = np.ones((1, 1))


def load_nile():
    """Years and annual flow (10^8 m^3) at Aswan, 1871-1970."""
    text = importlib.resources.files("Velmora.data").joinpath("nile.csv").read_text()
    rows = list(csv.DictReader(io.StringIO(text)))
    years = np.array([int(row["year"]) for row in rows])
    flow = np.array([float(row["volume"]) for row in rows])
    return years, flow


def run_filter(flow, obs_var, level_var):
    """Filter with the exact diffuse initialisation; returns the 11-tuple of histories and the
    diffuse log-likelihood, one row per year from the second on.

    With a diffuse prior on the first level, the first observation fixes the level exactly: the
    filter proper starts in the second year from a = y(1), P = sigma_eps^2 + sigma_eta^2, and
    the first year adds nothing to the diffuse log-likelihood (Durbin and Koopman, 2012, sec.
    2.9 and 7.2). This is statsmodels' exact diffuse log-likelihood without its first-year
    constant -ln(2 pi) / 2, the convention of Durbin and Koopman's published value.
    """
    status, out = kalman_hot_loop(
        len(flow) - 1, (1, 1, 1), ONE, ONE, ONE, np.zeros(1), [[level_var]], [[obs_var]],
        flow[1:].reshape(-1, 1), flow[:1], [[obs_var + level_var]], True, False, 0.0)
    if status != 0:
        raise RuntimeError(f"kalman_hot_loop failed with status {status}")
    return out


def filtered_level(flow, obs_var, level_var):
    """Filtered level and its variance for every year; the first year's are y(1) and sigma_eps^2."""
    out = run_filter(flow, obs_var, level_var)
    level = np.concatenate([flow[:1], out[1][:, 0]])
    variance = np.concatenate([[obs_var], out[3][:, 0, 0]])
    return level, variance


def smoothed_level(flow, obs_var, level_var):
    """Smoothed level and its variance for every year, given the whole sample.

    The smoother runs from the second year on, as the filter does. The first year's level mu(1)
    follows from y(1) and mu(2) = mu(1) + eta(1): given both, its mean is the precision-weighted
    (level_var y(1) + obs_var mu(2)) / (obs_var + level_var), so given all the data it takes
    E[mu(2) | y] in place of mu(2), and the variance of that term adds to its own.
    """
    status, out = kalman_smoother(
        len(flow) - 1, (1, 1, 1), ONE, ONE, ONE, np.zeros(1), [[level_var]], [[obs_var]],
        flow[1:].reshape(-1, 1), flow[:1], [[obs_var + level_var]], True, False, 0.0)
    if status != 0:
        raise RuntimeError(f"kalman_smoother failed with status {status}")
    level, variance = out[0][:, 0], out[1][:, 0, 0]
    total = obs_var + level_var
    first = (level_var * flow[0] + obs_var * level[0]) / total
    first_var = obs_var * level_var / total + (obs_var / total) ** 2 * variance[0]
    return np.concatenate([[first], level]), np.concatenate([[first_var], variance])


def estimate(flow):
    """Maximum-likelihood variances (obs_var, level_var) and the diffuse log-likelihood."""
    def negative_loglik(log_vars):
        return -run_filter(flow, *np.exp(log_vars))[-1]

    from scipy.optimize import minimize  # the demo extra's: load_nile needs NumPy alone

    start = np.log(np.full(2, np.var(np.diff(flow)) / 2))
    fit = minimize(negative_loglik, start, method="Nelder-Mead",
                   options={"xatol": 1e-8, "fatol": 1e-10, "maxiter": 2000})
    obs_var, level_var = np.exp(fit.x)
    return obs_var, level_var, -fit.fun


def write_plot(path, years, flow, filtered, smoothed):
    """Data with the filtered level (left) and the smoothed level (right), each with its 90%
    band; filtered and smoothed are (level, variance) pairs. False when matplotlib is not
    installed."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    fig, axes = plt.subplots(1, 2, figsize=(12, 4), sharey=True)
    for ax, (level, variance), name, color in zip(axes, (filtered, smoothed),
                                                  ("filtered", "smoothed"), ("C0", "C1")):
        half_width = 1.645 * np.sqrt(variance)
        ax.plot(years, flow, ".", color="0.4", label="annual flow")
        ax.plot(years, level, color=color, label=f"{name} level")
        ax.fill_between(years, level - half_width, level + half_width, color=color, alpha=0.2,
                        label="90% band")
        ax.set_xlabel("year")
        ax.set_title(f"Nile at Aswan: {name} level")
        ax.legend(loc="upper right")
    axes[0].set_ylabel("flow (10$^8$ m$^3$)")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return True


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", default=DEFAULT_PLOT, metavar="PATH",
                        help=f"where to write the PNG (default: {DEFAULT_PLOT})")
    parser.add_argument("--no-plot", action="store_true", help="do not write the PNG")
    args = parser.parse_args(argv)

    years, flow = load_nile()
    obs_var, level_var, loglik = estimate(flow)
    print(f"{'':28s}{'estimate':>12s}{'published':>12s}")
    print(f"{'observation variance':28s}{obs_var:12.1f}{PUBLISHED['obs_var']:12.1f}")
    print(f"{'level variance':28s}{level_var:12.1f}{PUBLISHED['level_var']:12.1f}")
    print(f"{'log-likelihood (diffuse)':28s}{loglik:12.3f}{PUBLISHED['loglik']:12.2f}")

    if not args.no_plot:
        filtered = filtered_level(flow, obs_var, level_var)
        smoothed = smoothed_level(flow, obs_var, level_var)
        if write_plot(args.plot, years, flow, filtered, smoothed):
            print(f"plot written to {args.plot}")
        else:
            print("matplotlib is not installed: no plot written")


if __name__ == "__main__":
    main()
